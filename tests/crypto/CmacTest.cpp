// The MAC of GOST R 34.13-2015 over Magma, and CBC. The vectors of crypto-vectors.txt run in
// PrimitiveTest; here the subkeys and 32-bit MAC of its A.2.6 example, the error codes and the
// descriptor's optional block loops.
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

TEST(Cmac, ErrorCodes)
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
}

// The cipher's optional multi-block loops are shortcuts: a descriptor without them must give the
// same CFB and MAC output through the modes' own block-by-block code.
TEST(CipherDescriptor, OptionalBlockLoopsMatchTheGenericPaths)
{
    CipherDescriptor plain = kMagmaDescriptor;
    plain.encryptBlocks = nullptr;
    plain.chainBlocks = nullptr;
    plain.feedbackBlocks = nullptr;
    for (size_t length : {0, 1, 8, 13, 16, 63, 64, 200}) {
        const Bytes key = patternBytes(32, 1), iv = patternBytes(8, 2), msg = patternBytes(length, 3);
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
