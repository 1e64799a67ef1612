// The MAC of GOST R 34.13-2015 over Magma, and CBC. Vectors: A.2.6 of the standard (32-byte
// message, published 32-bit MAC 154e7210 and R, K1, K2), A.2.1 (ECB blocks for CBC's first
// block) and the computed 0-, 8-, 13- and 16-byte cases of crypto-vectors.txt (checked with
// OpenSSL's gost engine magma-mac and libgcrypt).
#include <random>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Cbc.h"
#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"

namespace {

Bytes mac(const MagmaContext &magma, const Bytes &msg, size_t outputLength = 8,
          const CipherDescriptor &cipher = kMagmaDescriptor)
{
    CmacContext cmac;
    EXPECT_EQ(cmacInit(&cmac, &cipher, &magma, outputLength), 0);
    EXPECT_EQ(cmacUpdate(&cmac, msg.data(), msg.size()), 0);
    Bytes out(outputLength ? outputLength : 8);
    EXPECT_EQ(cmacFinal(&cmac, out.data()), 0);
    return out;
}

class CmacVectors : public ::testing::TestWithParam<const char *> {};

// Covers K1 (8, 16, 32 bytes: whole last block) and K2 (0 and 13 bytes: padded last block).
TEST_P(CmacVectors, MatchesPublishedValueAtEverySplitPoint)
{
    const std::string p = std::string("magma_cmac.") + GetParam();
    const Bytes msg = vec(p + ".msg"), expected = vec(p + ".mac");
    MagmaContext magma;
    magmaSetKey(&magma, vec(p + ".key").data());
    EXPECT_EQ(toHex(mac(magma, msg)), toHex(expected));
    CmacContext cmac;
    ASSERT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 8), 0);
    for (size_t split = 0; split <= msg.size(); ++split) {
        uint8_t out[8];
        ASSERT_EQ(kCmacDescriptor.reset(&cmac), 0);
        ASSERT_EQ(kCmacDescriptor.update(&cmac, msg.data(), split), 0);
        ASSERT_EQ(kCmacDescriptor.update(&cmac, msg.data() + split, msg.size() - split), 0);
        ASSERT_EQ(kCmacDescriptor.final(&cmac, out), 0);
        EXPECT_EQ(toHex(out, 8), toHex(expected)) << "split at " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(Published, CmacVectors, ::testing::Values("gost3413", "len8", "len13", "len16", "len0"));

TEST(Cmac, SubkeysAndTruncatedOutputOfTheStandardsExample)
{
    MagmaContext magma;
    magmaSetKey(&magma, vec("magma_cmac.gost3413.key").data());
    CmacContext cmac;
    ASSERT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 0), 0);
    EXPECT_EQ(cmac.outputLength, 8u);
    EXPECT_EQ(toHex(cmac.k1, 8), toHex(vec("magma_cmac.gost3413.k1")));
    EXPECT_EQ(toHex(cmac.k2, 8), toHex(vec("magma_cmac.gost3413.k2")));
    uint8_t r[8];
    magmaEncryptBlock(&magma, Bytes(8, 0).data(), r);
    EXPECT_EQ(toHex(r, 8), toHex(vec("magma_cmac.gost3413.r")));
    EXPECT_EQ(toHex(mac(magma, vec("magma_cmac.gost3413.msg"), 4)), toHex(vec("magma_cmac.gost3413.mac32")));
}

TEST(Cmac, ErrorCodesAndReuseAfterReset)
{
    MagmaContext magma;
    magmaSetKey(&magma, vec("magma_cmac.len8.key").data());
    const Bytes msg = vec("magma_cmac.len8.msg");
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
    EXPECT_EQ(toHex(second, 8), toHex(vec("magma_cmac.len8.mac")));
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
        Bytes key(32), iv(8), msg(length);
        for (auto *b : {&key, &iv, &msg})
            for (auto &x : *b)
                x = uint8_t(rng());
        MagmaContext magma;
        magmaSetKey(&magma, key.data());
        EXPECT_EQ(toHex(mac(magma, msg)), toHex(mac(magma, msg, 8, plain))) << length;
        for (bool decrypt : {false, true}) {
            Bytes fast(length), slow(length);
            CfbContext a, b;
            cfbInit(&a, &kMagmaDescriptor, &magma, iv.data(), 8, 8);
            cfbInit(&b, &plain, &magma, iv.data(), 8, 8);
            (decrypt ? cfbDecrypt : cfbEncrypt)(&a, msg.data(), fast.data(), length);
            (decrypt ? cfbDecrypt : cfbEncrypt)(&b, msg.data(), slow.data(), length);
            EXPECT_EQ(toHex(fast), toHex(slow)) << length << (decrypt ? " decrypt" : " encrypt");
        }
    }
}

TEST(Cbc, ChainsBlocksAndRejectsPartialBlocks)
{
    MagmaContext magma;
    magmaSetKey(&magma, vec("magma_block.gost3413_ecb.key").data());
    const Bytes pt = vec("magma_block.gost3413_ecb.pt"), ecb = vec("magma_block.gost3413_ecb.ct");
    const uint8_t zero[16] = {};
    CbcContext cbc;
    ASSERT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, zero, 8), 0);
    uint8_t out[32];
    ASSERT_EQ(cbcEncrypt(&cbc, pt.data(), out, 8), 0);
    EXPECT_EQ(toHex(out, 8), toHex(ecb.data(), 8)) << "with a zero register the first block is plain ECB";
    EXPECT_EQ(cbcEncrypt(&cbc, pt.data(), out, 7), -22);
    EXPECT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, zero, 12), -22);
    EXPECT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, zero, 72), -22);

    // m = 16: two interleaved chains; decryption inverts encryption, also in place.
    const Bytes iv = fromHex("3413a5c2f0e1d2c3b4a5968778695a4b");
    ASSERT_EQ(cbcInit(&cbc, &kMagmaDescriptor, &magma, iv.data(), 16), 0);
    ASSERT_EQ(kCbcDescriptor.encrypt(&cbc, pt.data(), out, 32), 0);
    EXPECT_NE(toHex(out, 32), toHex(ecb));
    ASSERT_EQ(kCbcDescriptor.reset(&cbc), 0);
    ASSERT_EQ(kCbcDescriptor.decrypt(&cbc, out, out, 32), 0);
    EXPECT_EQ(toHex(out, 32), toHex(pt));
}

} // namespace
