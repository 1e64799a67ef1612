// HMAC over Streebog-512: truncated output and error codes (the vectors run in VectorTest).
#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Hmac.h"
#include "crypto/Streebog.h"

namespace {

struct Hmac512 {
    StreebogContext inner, outer;
    HmacContext hmac;
    int init(const Bytes &key, size_t outputLength = 0)
    {
        streebogInit(&inner);
        streebogInit(&outer);
        return hmacInit(&hmac, &kStreebog512Descriptor, &inner, &outer, key.data(), key.size(), outputLength);
    }
};

TEST(Hmac, TruncatedOutputIsThePrefix)
{
    const Bytes msg = vec("hmac_streebog512.rfc7836.msg"), full = vec("hmac_streebog512.rfc7836.mac");
    Hmac512 h;
    ASSERT_EQ(h.init(vec("hmac_streebog512.rfc7836.key"), 32), 0);
    uint8_t out[64] = {};
    hmacUpdate(&h.hmac, msg.data(), msg.size());
    ASSERT_EQ(hmacFinal(&h.hmac, out), 0);
    EXPECT_EQ(toHex(out, 64), toHex(full.data(), 32) + std::string(64, '0')) << "wrote past the output length";
}

// After final, and after a failing hash step (here: the inner context finalised behind the
// HMAC's back, which clears valid), the context refuses everything until it is set up again.
TEST(Hmac, ErrorCodes)
{
    const Bytes key = vec("hmac_streebog512.rfc7836.key");
    Hmac512 h;
    EXPECT_EQ(h.init(key, 65), -22);
    uint8_t out[64];
    EXPECT_EQ(hmacUpdate(&h.hmac, out, 1), -9);
    EXPECT_EQ(hmacReset(&h.hmac), -9);
    EXPECT_EQ(hmacInit(&h.hmac, &kStreebog512Descriptor, nullptr, &h.outer, key.data(), key.size(), 0), -9);
    EXPECT_EQ(hmacInit(&h.hmac, nullptr, &h.inner, &h.outer, key.data(), key.size(), 0), -9);

    ASSERT_EQ(h.init(key), 0);
    ASSERT_EQ(hmacFinal(&h.hmac, out), 0);
    EXPECT_EQ(hmacUpdate(&h.hmac, out, 1), -9);
    EXPECT_EQ(hmacFinal(&h.hmac, out), -9);
    EXPECT_EQ(hmacReset(&h.hmac), 0);
    EXPECT_EQ(hmacUpdate(&h.hmac, out, 1), 0);

    streebogFinal(&h.inner, out);
    EXPECT_EQ(hmacUpdate(&h.hmac, out, 1), -9);
    EXPECT_FALSE(h.hmac.valid);
    EXPECT_EQ(hmacReset(&h.hmac), -9);
    EXPECT_EQ(hmacFinal(&h.hmac, out), -9);
}

} // namespace
