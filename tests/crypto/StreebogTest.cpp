// GOST R 34.11-2012, 512-bit digest. Vectors: RFC 6986 section 10.1 (M1) and 10.2 (M2), the
// gost-engine test data "carry" message, and the computed empty and 64-byte cases of
// crypto-vectors.txt (checked with OpenSSL's gost engine and libgcrypt).
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Streebog.h"

namespace {

Bytes digestInPieces(const Bytes &msg, const std::vector<size_t> &pieces)
{
    StreebogContext ctx;
    EXPECT_EQ(kStreebog512Descriptor.init(&ctx), 0);
    size_t off = 0;
    for (size_t n : pieces) {
        EXPECT_EQ(kStreebog512Descriptor.update(&ctx, msg.data() + off, n), 0);
        off += n;
    }
    EXPECT_EQ(kStreebog512Descriptor.update(&ctx, msg.data() + off, msg.size() - off), 0);
    Bytes out(64);
    EXPECT_EQ(kStreebog512Descriptor.final(&ctx, out.data()), 0);
    return out;
}

class StreebogVectors : public ::testing::TestWithParam<const char *> {};

TEST_P(StreebogVectors, DigestMatchesAtEverySplitPoint)
{
    const VectorFile &v = VectorFile::instance();
    const std::string p = std::string("streebog512.") + GetParam();
    const Bytes msg = v.get(p + ".msg"), digest = v.get(p + ".digest");
    for (size_t split = 0; split <= msg.size(); ++split)
        EXPECT_EQ(toHex(digestInPieces(msg, {split})), toHex(digest)) << "split at " << split;
}

INSTANTIATE_TEST_SUITE_P(Published, StreebogVectors, ::testing::Values("m1", "m2", "empty", "len64", "carry"));

// The RFC prints numbers most significant byte first: its message and digest are the
// byte-reversed strings of what the hash reads and writes.
TEST(Streebog, RfcNotationIsTheByteReversal)
{
    const VectorFile &v = VectorFile::instance();
    for (const char *name : {"m1", "m2", "empty", "len64"}) {
        const std::string p = std::string("streebog512.") + name;
        const Bytes msg = reversed(v.get(p + ".msg_rfc"));
        EXPECT_EQ(toHex(digestInPieces(msg, {})), toHex(reversed(v.get(p + ".digest_rfc")))) << name;
    }
}

// A 64-byte message is compressed in update; N counts 512 bits and final adds nothing to it.
TEST(Streebog, WholeBlockIsCompressedDuringUpdate)
{
    const Bytes msg = VectorFile::instance().get("streebog512.len64.msg");
    StreebogContext ctx;
    streebogInit(&ctx);
    ASSERT_EQ(streebogUpdate(&ctx, msg.data(), msg.size()), 0);
    EXPECT_EQ(ctx.n[0], 512u);
    EXPECT_NE(ctx.h[0] | ctx.h[7], 0u);
    EXPECT_EQ(ctx.byteCount, 64u);
}

TEST(Streebog, RandomPiecesEqualOneCall)
{
    std::mt19937 rng(6986);
    for (int trial = 0; trial < 60; ++trial) {
        Bytes msg(trial < 40 ? trial * 7 : 1000 + rng() % 3000);
        for (auto &b : msg)
            b = uint8_t(rng());
        const Bytes whole = digestInPieces(msg, {});
        std::vector<size_t> pieces;
        size_t left = msg.size();
        while (left > 0) {
            const size_t n = std::min<size_t>(left, rng() % 150);
            pieces.push_back(n);
            left -= n;
        }
        EXPECT_EQ(toHex(digestInPieces(msg, pieces)), toHex(whole)) << "length " << msg.size();
    }
}

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
    EXPECT_EQ(toHex(again, 64), toHex(VectorFile::instance().get("streebog512.empty.digest")));
}

} // namespace
