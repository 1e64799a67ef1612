// GOST R 34.11-2012, 512-bit digest. Vectors: RFC 6986 section 10.1 (M1) and 10.2 (M2), the
// gost-engine test data "carry" message, and the computed empty and 64-byte cases of
// crypto-vectors.txt (checked with OpenSSL's gost engine and libgcrypt). Random lengths and
// pieces are compared with both libraries in DifferentialTest.
#include <cstring>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Streebog.h"

namespace {

Bytes digest(const Bytes &msg, size_t split = 0)
{
    StreebogContext ctx;
    EXPECT_EQ(kStreebog512Descriptor.init(&ctx), 0);
    EXPECT_EQ(kStreebog512Descriptor.update(&ctx, msg.data(), split), 0);
    EXPECT_EQ(kStreebog512Descriptor.update(&ctx, msg.data() + split, msg.size() - split), 0);
    Bytes out(64);
    EXPECT_EQ(kStreebog512Descriptor.final(&ctx, out.data()), 0);
    return out;
}

Bytes reversed(Bytes b)
{
    return Bytes(b.rbegin(), b.rend());
}

class StreebogVectors : public ::testing::TestWithParam<const char *> {};

// The RFC prints numbers most significant byte first: its message and digest are the
// byte-reversed strings of what the hash reads and writes ("carry" has no RFC form).
TEST_P(StreebogVectors, DigestMatchesAtEverySplitPointAndInRfcNotation)
{
    const std::string p = std::string("streebog512.") + GetParam();
    const Bytes msg = vec(p + ".msg"), expected = vec(p + ".digest");
    for (size_t split = 0; split <= msg.size(); ++split)
        EXPECT_EQ(toHex(digest(msg, split)), toHex(expected)) << "split at " << split;
    if (p != "streebog512.carry") {
        EXPECT_EQ(toHex(digest(reversed(vec(p + ".msg_rfc")))), toHex(reversed(vec(p + ".digest_rfc"))));
    }
}

INSTANTIATE_TEST_SUITE_P(Published, StreebogVectors, ::testing::Values("m1", "m2", "empty", "len64", "carry"));

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
