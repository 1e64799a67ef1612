// GOST R 34.11-2012, 512-bit digest: a finished context refuses more. The vectors run in
// VectorTest; random lengths and pieces are compared with OpenSSL in DifferentialTest.
#include <cstring>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Streebog.h"

namespace {

TEST(Streebog, RefusesUpdateAndFinalAfterFinal)
{
    StreebogContext ctx;
    streebogInit(&ctx);
    uint8_t out[64], again[64];
    ASSERT_EQ(streebogFinal(&ctx, out), 0);
    const StreebogContext before = ctx;
    EXPECT_EQ(streebogUpdate(&ctx, out, 3), -9);
    EXPECT_EQ(streebogFinal(&ctx, again), -9);
    EXPECT_EQ(0, std::memcmp(&before, &ctx, sizeof ctx));
    ASSERT_EQ(streebogInit(&ctx), 0);
    ASSERT_EQ(streebogFinal(&ctx, again), 0);
    EXPECT_EQ(toHex(again, 64), toHex(vec("streebog512.empty.digest")));
}

} // namespace
