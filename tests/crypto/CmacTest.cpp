// The MAC of GOST R 34.13-2015 over Magma. Vectors: A.2.6 of the standard (32-byte message,
// published 32-bit MAC 154e7210 and R, K1, K2) and the computed 0-, 8-, 13- and 16-byte cases of
// crypto-vectors.txt (checked with OpenSSL's gost engine magma-mac and libgcrypt).
#include <random>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Cbc.h"
#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"

namespace {

Bytes mac(const MagmaContext &magma, const Bytes &msg, size_t outputLength = 8)
{
    CmacContext cmac;
    EXPECT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, outputLength), 0);
    EXPECT_EQ(cmacUpdate(&cmac, msg.data(), msg.size()), 0);
    Bytes out(outputLength ? outputLength : 8);
    EXPECT_EQ(cmacFinal(&cmac, out.data()), 0);
    return out;
}

class CmacVectors : public ::testing::TestWithParam<const char *> {};

// Covers K1 (8, 16, 32 bytes: whole last block) and K2 (0 and 13 bytes: padded last block).
TEST_P(CmacVectors, MatchesPublishedValueAtEverySplitPoint)
{
    const VectorFile &v = VectorFile::instance();
    const std::string p = std::string("magma_cmac.") + GetParam();
    const Bytes key = v.get(p + ".key"), msg = v.get(p + ".msg"), expected = v.get(p + ".mac");
    MagmaContext magma;
    magmaSetKey(&magma, key.data());
    EXPECT_EQ(toHex(mac(magma, msg)), toHex(expected));
    CmacContext cmac;
    ASSERT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 8), 0);
    for (size_t split = 0; split <= msg.size(); ++split) {
        ASSERT_EQ(kCmacDescriptor.reset(&cmac), 0);
        ASSERT_EQ(kCmacDescriptor.update(&cmac, msg.data(), split), 0);
        ASSERT_EQ(kCmacDescriptor.update(&cmac, msg.data() + split, msg.size() - split), 0);
        uint8_t out[8];
        ASSERT_EQ(kCmacDescriptor.final(&cmac, out), 0);
        EXPECT_EQ(toHex(out, 8), toHex(expected)) << "split at " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(Published, CmacVectors, ::testing::Values("gost3413", "len8", "len13", "len16", "len0"));

TEST(Cmac, SubkeysAndTruncatedOutputOfTheStandardsExample)
{
    const VectorFile &v = VectorFile::instance();
    const Bytes key = v.get("magma_cmac.gost3413.key"), msg = v.get("magma_cmac.gost3413.msg");
    MagmaContext magma;
    magmaSetKey(&magma, key.data());
    CmacContext cmac;
    ASSERT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 0), 0);
    EXPECT_EQ(cmac.outputLength, 8u);
    EXPECT_EQ(toHex(cmac.k1, 8), toHex(v.get("magma_cmac.gost3413.k1")));
    EXPECT_EQ(toHex(cmac.k2, 8), toHex(v.get("magma_cmac.gost3413.k2")));
    uint8_t r[8];
    const uint8_t zero[8] = {};
    magmaEncryptBlock(&magma, zero, r);
    EXPECT_EQ(toHex(r, 8), toHex(v.get("magma_cmac.gost3413.r")));
    EXPECT_EQ(toHex(mac(magma, msg, 4)), toHex(v.get("magma_cmac.gost3413.mac32")));
}

// Update keeps the last 1..8 bytes: exactly 8 bytes chain nothing during update, 16 chain one
// block, 13 chain one block and leave 5 for padding.
TEST(Cmac, UpdateHoldsBackTheLastBlock)
{
    MagmaContext magma;
    magmaSetKey(&magma, VectorFile::instance().get("magma_cmac.len16.key").data());
    const Bytes msg = VectorFile::instance().get("magma_cmac.len16.msg");
    struct Case {
        size_t length, buffered;
        bool registerMoved;
    };
    for (const Case c : {Case{8, 8, false}, Case{13, 5, true}, Case{16, 8, true}, Case{9, 1, true}}) {
        CmacContext cmac;
        cmacInit(&cmac, &kMagmaDescriptor, &magma, 8);
        Bytes data(msg.begin(), msg.begin() + std::min<size_t>(c.length, 16));
        data.resize(c.length, 0x5a);
        ASSERT_EQ(cmacUpdate(&cmac, data.data(), data.size()), 0);
        EXPECT_EQ(cmac.bufferCount, c.buffered) << c.length;
        const bool moved = toHex(cmac.chain.shiftRegister, 8) != "0000000000000000";
        EXPECT_EQ(moved, c.registerMoved) << c.length;
    }
}

TEST(Cmac, ErrorCodesAndReuseAfterReset)
{
    MagmaContext magma;
    magmaSetKey(&magma, VectorFile::instance().get("magma_cmac.len8.key").data());
    const Bytes msg = VectorFile::instance().get("magma_cmac.len8.msg");
    CmacContext cmac;
    EXPECT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 9), -22);
    EXPECT_EQ(cmacUpdate(&cmac, msg.data(), msg.size()), -9);
    CipherDescriptor noEncrypt = kMagmaDescriptor;
    noEncrypt.encrypt = nullptr;
    EXPECT_EQ(cmacInit(&cmac, &noEncrypt, &magma, 8), -22);
    EXPECT_EQ(cmacInit(&cmac, nullptr, &magma, 8), -9);
    EXPECT_EQ(cmacReset(&cmac), -9);

    ASSERT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 8), 0);
    uint8_t first[8], second[8];
    ASSERT_EQ(cmacUpdate(&cmac, msg.data(), msg.size()), 0);
    ASSERT_EQ(cmacFinal(&cmac, first), 0);
    EXPECT_EQ(cmacUpdate(&cmac, msg.data(), msg.size()), -9);
    EXPECT_EQ(cmacFinal(&cmac, second), -9);
    ASSERT_EQ(cmacReset(&cmac), 0);
    ASSERT_EQ(cmacUpdate(&cmac, msg.data(), msg.size()), 0);
    ASSERT_EQ(cmacFinal(&cmac, second), 0);
    EXPECT_EQ(toHex(second, 8), toHex(first, 8));
    EXPECT_EQ(toHex(first, 8), toHex(VectorFile::instance().get("magma_cmac.len8.mac")));
}

// The cipher's optional multi-block loops are shortcuts: a descriptor without them must give the
// same CFB and MAC output through the modes' own block-by-block code.
TEST(CipherDescriptor, OptionalBlockLoopsMatchTheGenericPaths)
{
    CipherDescriptor plain = kMagmaDescriptor;
    plain.encryptBlocks = nullptr;
    plain.chainBlocks = nullptr;
    plain.feedbackBlocks = nullptr;
    std::mt19937 rng(1234);
    for (size_t length : {0, 1, 8, 13, 16, 63, 64, 200}) {
        uint8_t key[32], iv[8];
        for (auto &b : key)
            b = uint8_t(rng());
        for (auto &b : iv)
            b = uint8_t(rng());
        Bytes msg(length);
        for (auto &b : msg)
            b = uint8_t(rng());
        MagmaContext magma;
        magmaSetKey(&magma, key);
        const MagmaContext *m = &magma;
        EXPECT_EQ(toHex(mac(magma, msg)), [&] {
            CmacContext c;
            cmacInit(&c, &plain, m, 8);
            cmacUpdate(&c, msg.data(), msg.size());
            uint8_t out[8];
            cmacFinal(&c, out);
            return toHex(out, 8);
        }()) << length;
        for (bool decrypt : {false, true}) {
            Bytes fast(length), slow(length);
            CfbContext a, b;
            cfbInit(&a, &kMagmaDescriptor, m, iv, 8, 8);
            cfbInit(&b, &plain, m, iv, 8, 8);
            (decrypt ? cfbDecrypt : cfbEncrypt)(&a, msg.data(), fast.data(), length);
            (decrypt ? cfbDecrypt : cfbEncrypt)(&b, msg.data(), slow.data(), length);
            EXPECT_EQ(toHex(fast), toHex(slow)) << length << (decrypt ? " decrypt" : " encrypt");
        }
    }
}

TEST(Cbc, ChainsBlocksAndRejectsPartialBlocks)
{
    const VectorFile &v = VectorFile::instance();
    MagmaContext magma;
    magmaSetKey(&magma, v.get("magma_block.gost3413_ecb.key").data());
    const Bytes pt = v.get("magma_block.gost3413_ecb.pt"), ecb = v.get("magma_block.gost3413_ecb.ct");
    const uint8_t zero[16] = {};
    CbcContext cbc;
    ASSERT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, zero, 8), 0);
    uint8_t out[32];
    // With a zero register the first block is plain ECB.
    ASSERT_EQ(cbcEncrypt(&cbc, pt.data(), out, 8), 0);
    EXPECT_EQ(toHex(out, 8), toHex(ecb.data(), 8));
    EXPECT_EQ(cbcEncrypt(&cbc, pt.data(), out, 7), -22);
    EXPECT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, zero, 12), -22);
    EXPECT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, zero, 72), -22);

    // m = 16: two interleaved chains; decryption inverts encryption, also in place.
    std::mt19937 rng(3413);
    uint8_t iv[16];
    for (auto &b : iv)
        b = uint8_t(rng());
    ASSERT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, iv, 16), 0);
    ASSERT_EQ(kCbcDescriptor.encrypt(&cbc, pt.data(), out, 32), 0);
    ASSERT_EQ(kCbcDescriptor.reset(&cbc), 0);
    ASSERT_EQ(kCbcDescriptor.decrypt(&cbc, out, out, 32), 0);
    EXPECT_EQ(toHex(out, 32), toHex(pt));
}

} // namespace
