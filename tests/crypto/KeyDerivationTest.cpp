// The two PRFs beyond the vectors (which run in PrimitiveTest): how hmacPrf takes its seed and
// wipes its scratch, and cmacPrf's chaining (its refusal without a secret is the record
// layer's test).
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "RecordSealer.h"
#include "auth/LinkSecurityState.h"
#include "crypto/KeyDerivation.h"

namespace {

bool scratchIsZero()
{
    size_t size = 0;
    const uint8_t *scratch = hmacPrfScratchForTest(&size);
    EXPECT_GT(size, 3 * 400u);  // three keyed states live there
    return std::all_of(scratch, scratch + size, [](uint8_t b) { return b == 0; });
}

// The seed is the present pieces in order: null pieces are skipped, empty ones add nothing,
// so any spread of label || seed over the five pieces gives the same output.
TEST(HmacPrf, SeedIsThePresentPiecesInOrder)
{
    const Bytes secret = vec("phash_streebog512.ms65.secret");
    const Bytes seed = concat({vec("phash_streebog512.ms65.label"), vec("phash_streebog512.ms65.seed")});
    const uint8_t *s = seed.data(), junk[4] = {1, 2, 3, 4};
    struct Spread {
        const uint8_t *p[5];
        size_t n[5];
    };
    const Spread spreads[] = {
        {{nullptr, nullptr, nullptr, nullptr, s}, {0, 0, 0, 0, 77}},
        {{s, s + 13, s + 45, nullptr, nullptr}, {13, 32, 32, 0, 0}},
        {{s, junk, s + 1, s + 2, s + 40}, {1, 0, 1, 38, 37}},
        {{nullptr, s, nullptr, s + 70, nullptr}, {99, 70, 5, 7, 99}},
    };
    for (const Spread &sp : spreads) {
        Bytes out(66, 0xEE);
        ASSERT_EQ(hmacPrf(secret.data(), secret.size(), sp.p[0], sp.n[0], sp.p[1], sp.n[1], sp.p[2], sp.n[2], sp.p[3],
                          sp.n[3], sp.p[4], sp.n[4], out.data(), 65),
                  0);
        EXPECT_EQ(toHex(out), toHex(vec("phash_streebog512.ms65.out")) + "ee") << "wrote past the output";
        EXPECT_TRUE(scratchIsZero());
    }
}

TEST(HmacPrf, ZeroLengthOutputAndFailuresStillWipe)
{
    const Bytes secret = vec("phash_streebog512.ms32.secret");
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

// cmacPrf against the definition, computed with a separately keyed MAC, for lengths around the
// 8-byte blocks; nothing is written past the output.
TEST(CmacPrf, OutputBlocksFollowTheChainingForEveryLength)
{
    const Bytes secret = fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf");
    LinkSecurityState state{};
    state.installMasterSecret(secret.data());
    const char label[] = "key block derivation";
    const Bytes epoch = {0, 0, 0, 1}, labelSeed = concat({Bytes(label, label + sizeof label), epoch});
    for (size_t length : {0, 1, 7, 8, 9, 16, 17, 64}) {
        Bytes out(length + 4, 0xCC);
        ASSERT_EQ(cmacPrf(state, reinterpret_cast<const uint8_t *>(label), sizeof label, epoch.data(), 4, out.data(),
                          length),
                  0);
        EXPECT_EQ(toHex(out), toHex(macChain(secret.data(), labelSeed, length)) + "cccccccc") << length;
    }
}

} // namespace
