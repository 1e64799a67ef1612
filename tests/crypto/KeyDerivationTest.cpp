// The two PRFs. hmacPrf vectors: RFC 7836 Appendix B (PRF_TLS_GOSTR3411_2012_512) and the computed
// "master secret" P_hash cases of crypto-vectors.txt for 32, 64 and 65 bytes (checked with
// OpenSSL's TLS1-PRF over the gost provider and with libgcrypt's HMAC).
#include <cstring>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "auth/LinkSecurityState.h"
#include "crypto/Cmac.h"
#include "crypto/KeyDerivation.h"
#include "crypto/Magma.h"

namespace {

bool scratchIsZero()
{
    size_t size = 0;
    const uint8_t *scratch = hmacPrfScratchForTest(&size);
    EXPECT_GT(size, 3 * 400u);  // three keyed states live there
    for (size_t i = 0; i < size; ++i)
        if (scratch[i] != 0)
            return false;
    return true;
}

class PhashVectors : public ::testing::TestWithParam<const char *> {};

TEST_P(PhashVectors, MatchesPublishedOutputAndLeavesNoScratch)
{
    const VectorFile &v = VectorFile::instance();
    const std::string p = std::string("phash_streebog512.") + GetParam();
    const Bytes secret = v.get(p + ".secret"), label = v.get(p + ".label"), seed = v.get(p + ".seed");
    const Bytes expected = v.get(p + ".out");
    Bytes out(expected.size() + 8, 0xEE);
    ASSERT_EQ(hmacPrf(secret.data(), secret.size(), label.data(), label.size(), seed.data(), seed.size(), nullptr, 0,
                      nullptr, 0, nullptr, 0, out.data(), expected.size()),
              0);
    EXPECT_EQ(toHex(out.data(), expected.size()), toHex(expected));
    EXPECT_EQ(toHex(out.data() + expected.size(), 8), "eeeeeeeeeeeeeeee") << "wrote past the output";
    EXPECT_TRUE(scratchIsZero());
}

INSTANTIATE_TEST_SUITE_P(Published, PhashVectors, ::testing::Values("rfc7836", "ms32", "ms64", "ms65"));

// The seed is the present pieces in order: null pieces are skipped, empty ones add nothing,
// so any spread of label || seed over the five pieces gives the same output.
TEST(HmacPrf, SeedIsThePresentPiecesInOrder)
{
    const VectorFile &v = VectorFile::instance();
    const Bytes secret = v.get("phash_streebog512.ms65.secret");
    const Bytes seed = concat(v.get("phash_streebog512.ms65.label"), v.get("phash_streebog512.ms65.seed"));
    const Bytes expected = v.get("phash_streebog512.ms65.out");
    const uint8_t *s = seed.data();
    struct Spread {
        const uint8_t *p[5];
        size_t n[5];
    };
    const uint8_t junk[4] = {1, 2, 3, 4};
    const Spread spreads[] = {
        {{s, nullptr, nullptr, nullptr, nullptr}, {77, 0, 0, 0, 0}},
        {{nullptr, nullptr, nullptr, nullptr, s}, {0, 0, 0, 0, 77}},
        {{s, s + 13, s + 45, nullptr, nullptr}, {13, 32, 32, 0, 0}},
        {{s, junk, s + 1, s + 2, s + 40}, {1, 0, 1, 38, 37}},
        {{nullptr, s, nullptr, s + 70, nullptr}, {99, 70, 5, 7, 99}},
    };
    for (const Spread &sp : spreads) {
        uint8_t out[65];
        ASSERT_EQ(hmacPrf(secret.data(), secret.size(), sp.p[0], sp.n[0], sp.p[1], sp.n[1], sp.p[2], sp.n[2], sp.p[3],
                          sp.n[3], sp.p[4], sp.n[4], out, sizeof out),
                  0);
        EXPECT_EQ(toHex(out, 65), toHex(expected));
    }
}

TEST(HmacPrf, ZeroLengthOutputAndFailuresStillWipe)
{
    const Bytes secret = VectorFile::instance().get("phash_streebog512.ms32.secret");
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(hmacPrf(secret.data(), secret.size(), out, 4, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, out, 0), 0);
    EXPECT_EQ(out[0], 9);
    EXPECT_TRUE(scratchIsZero());
    EXPECT_EQ(hmacPrf(nullptr, 5, out, 4, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, out, 4), -1);
    EXPECT_TRUE(scratchIsZero());
    EXPECT_EQ(hmacPrf(secret.data(), secret.size(), out, 4, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 4),
              -1);
    EXPECT_TRUE(scratchIsZero());
}

// cmacPrf against the definition, computed with a separately keyed MAC.
Bytes modelCmacPrf(const uint8_t secret[32], const Bytes &label, const Bytes &seed, size_t length)
{
    MagmaContext magma;
    magmaSetKey(&magma, secret);
    auto mac = [&](const Bytes &msg) {
        CmacContext c;
        cmacInit(&c, &kMagmaDescriptor, &magma, 8);
        cmacUpdate(&c, msg.data(), msg.size());
        Bytes out(8);
        cmacFinal(&c, out.data());
        return out;
    };
    const Bytes labelSeed = concat(label, seed);
    Bytes a = mac(labelSeed), out;
    while (out.size() < length) {
        const Bytes t = mac(concat(a, labelSeed));
        out.insert(out.end(), t.begin(), t.end());
        a = mac(a);
    }
    out.resize(length);
    return out;
}

TEST(CmacPrf, OutputBlocksFollowTheChainingForEveryLength)
{
    uint8_t secret[32];
    for (int i = 0; i < 32; ++i)
        secret[i] = uint8_t(0xA0 + i);
    LinkSecurityState state{};
    state.installMasterSecret(secret);
    const Bytes label = {'k', 'e', 'y', ' ', 'b', 'l', 'o', 'c', 'k', ' ', 'd', 'e', 'r', 'i', 'v', 'a', 't',
                         'i', 'o', 'n', 0};
    const Bytes epoch = {0, 0, 0, 1};
    for (size_t length : {0, 1, 7, 8, 9, 16, 17, 64}) {
        Bytes out(length + 4, 0xCC);
        ASSERT_EQ(cmacPrf(state, label.data(), label.size(), epoch.data(), epoch.size(), out.data(), length), 0);
        EXPECT_EQ(toHex(out.data(), length), toHex(modelCmacPrf(secret, label, epoch, length))) << length;
        EXPECT_EQ(toHex(out.data() + length, 4), "cccccccc") << length;
    }
    // Shorter outputs are prefixes of longer ones: 1 byte is T(1)[0], 9 bytes T(1) || T(2)[0].
    Bytes one(1), nine(9), sixtyFour(64);
    cmacPrf(state, label.data(), label.size(), epoch.data(), epoch.size(), one.data(), 1);
    cmacPrf(state, label.data(), label.size(), epoch.data(), epoch.size(), nine.data(), 9);
    cmacPrf(state, label.data(), label.size(), epoch.data(), epoch.size(), sixtyFour.data(), 64);
    EXPECT_EQ(one[0], sixtyFour[0]);
    EXPECT_EQ(toHex(nine), toHex(sixtyFour.data(), 9));
}

// No master secret: the MAC has no key, so nothing may come out (the output stays untouched).
TEST(CmacPrf, RefusesWithoutAMasterSecret)
{
    LinkSecurityState fresh{};
    EXPECT_FALSE(fresh.masterSecretInstalled());
    const uint8_t label[] = "network id";
    const uint8_t seed[4] = {1, 2, 3, 4};
    uint8_t out[64];
    std::memset(out, 0x77, sizeof out);
    EXPECT_EQ(cmacPrf(fresh, label, sizeof label, seed, sizeof seed, out, sizeof out), -9);
    for (uint8_t b : out)
        ASSERT_EQ(b, 0x77);
}

} // namespace
