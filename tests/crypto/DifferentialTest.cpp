// Our primitives against OpenSSL 3 with the gost provider, on random keys
// and on every message length from 0 to 80 plus some long ones. Our side is fed in random
// pieces (some empty), so the streaming paths are compared too.
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "Oracle.h"
#include "tests/messaging/TestBytes.h"
#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/KeyDerivation.h"
#include "crypto/Magma.h"
#include "crypto/Streebog.h"

namespace {

std::mt19937 rng(20151234);

Bytes randomBytes(size_t n)
{
    Bytes b(n);
    for (auto &x : b)
        x = uint8_t(rng());
    return b;
}

// Every length up to 80, then a few long ones.
const std::vector<size_t> kLengths = [] {
    std::vector<size_t> v(81);
    std::iota(v.begin(), v.end(), size_t(0));
    v.insert(v.end(), {127, 128, 129, 517, 1000, 4099});
    return v;
}();

// Calls step(offset, count) over random pieces that add up to n.
template <typename Step>
void inPieces(size_t n, Step step)
{
    for (size_t off = 0, k = 0; off < n; off += k)
        step(off, k = std::min<size_t>(n - off, rng() % 70));
}

class Differential : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(oracle::opensslReady(&why)) << why;
    }
};

// Decryption works in place every other time.
Bytes ourCfb(const Bytes &key, const Bytes &iv, size_t s, const Bytes &data, bool decrypt)
{
    MagmaContext magma;
    magmaSetKey(&magma, key.data());
    CfbContext cfb;
    EXPECT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv.data(), iv.size(), s), 0);
    static unsigned decryptions = 0;
    const bool inPlace = decrypt && decryptions++ % 2 == 0;
    Bytes out = data;
    inPieces(data.size(), [&](size_t off, size_t n) {
        const uint8_t *src = (inPlace ? out.data() : data.data()) + off;
        EXPECT_EQ((decrypt ? cfbDecrypt : cfbEncrypt)(&cfb, src, out.data() + off, n), 0);
    });
    return out;
}

TEST_F(Differential, CfbEveryLengthRegisterAndSegment)
{
    const size_t registers[] = {8, 16, 24, 32, 64};
    int trial = 0;
    for (size_t length : kLengths) {
        const Bytes key = randomBytes(32), data = randomBytes(length);
        const size_t m = registers[trial % 5], s = trial++ % 2 ? 8 : 1 + rng() % 8;
        const Bytes iv = randomBytes(m);
        const oracle::BlockCipher blocks = [&key](const Bytes &b) { return oracle::opensslMagmaEcb(key, b, false); };
        for (bool decrypt : {false, true}) {
            const Bytes ours = ourCfb(key, iv, s, data, decrypt);
            ASSERT_EQ(toHex(ours), toHex(oracle::cfbOver(blocks, iv, s, data, decrypt)))
                << "length " << length << " m " << m << " s " << s << (decrypt ? " decrypt" : "");
        }
    }
}

TEST_F(Differential, MacEveryLength)
{
    for (size_t length : kLengths) {
        const Bytes key = randomBytes(32), msg = randomBytes(length);
        MagmaContext magma;
        magmaSetKey(&magma, key.data());
        CmacContext cmac;
        ASSERT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 8), 0);
        inPieces(length, [&](size_t off, size_t n) { ASSERT_EQ(cmacUpdate(&cmac, msg.data() + off, n), 0); });
        uint8_t ours[8];
        ASSERT_EQ(cmacFinal(&cmac, ours), 0);
        ASSERT_EQ(toHex(ours, 8), toHex(oracle::opensslMagmaMac(key, msg))) << "length " << length;
    }
}

Bytes ourStreebog(const Bytes &msg)
{
    StreebogContext ctx;
    streebogInit(&ctx);
    inPieces(msg.size(), [&](size_t off, size_t n) { EXPECT_EQ(streebogUpdate(&ctx, msg.data() + off, n), 0); });
    Bytes out(64);
    EXPECT_EQ(streebogFinal(&ctx, out.data()), 0);
    return out;
}

TEST_F(Differential, StreebogEveryLength)
{
    for (size_t length : kLengths) {
        const Bytes msg = randomBytes(length), ours = ourStreebog(msg);
        ASSERT_EQ(toHex(ours), toHex(oracle::opensslStreebog512(msg))) << "length " << length;
    }
}

// How the seed may be spread over the five pieces is KeyDerivationTest's; here it is one piece.
TEST_F(Differential, HmacPrfOutputLengths)
{
    for (size_t length = 1; length <= 200; length += (length < 70 ? 1 : 13)) {
        const Bytes secret = randomBytes(length % 3 == 0 ? 64 : 32 + length % 40);
        const Bytes seed = randomBytes(1 + rng() % 110);  // TLS1-PRF refuses an empty seed
        Bytes ours(length);
        ASSERT_EQ(hmacPrf(secret.data(), secret.size(), seed.data(), seed.size(), nullptr, 0, nullptr, 0, nullptr, 0,
                          nullptr, 0, ours.data(), length),
                  0);
        ASSERT_EQ(toHex(ours), toHex(oracle::opensslTlsPrf(secret, seed, length))) << "length " << length;
    }
}

} // namespace
