// Magma block cipher. Vectors: RFC 8891 Appendix A (= GOST R 34.12-2015 Appendix A.2), the ECB
// example of GOST R 34.13-2015 A.2.1, and E_K(0) printed as R in GOST R 34.13-2015 A.2.6.
#include <random>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Magma.h"

namespace {

class MagmaVectors : public ::testing::TestWithParam<const char *> {};

// Block by block, directly and through the descriptor, and as one multi-block call.
TEST_P(MagmaVectors, EncryptsAndDecryptsEveryBlockAsPublished)
{
    const std::string p = std::string("magma_block.") + GetParam();
    const Bytes key = vec(p + ".key"), pt = vec(p + ".pt"), ct = vec(p + ".ct");
    ASSERT_EQ(pt.size(), ct.size());
    ASSERT_EQ(pt.size() % 8, 0u);
    MagmaContext magma;
    magmaSetKey(&magma, nullptr);
    EXPECT_FALSE(magma.keySet);
    kMagmaDescriptor.setKey(&magma, key.data());
    EXPECT_TRUE(magma.keySet);
    Bytes out(pt.size()), viaDescriptor(pt.size()), back(pt.size()), backViaDescriptor(pt.size());
    for (size_t off = 0; off < pt.size(); off += 8) {
        magmaEncryptBlock(&magma, pt.data() + off, out.data() + off);
        kMagmaDescriptor.encrypt(&magma, pt.data() + off, viaDescriptor.data() + off);
        magmaDecryptBlock(&magma, ct.data() + off, back.data() + off);
        kMagmaDescriptor.decrypt(&magma, ct.data() + off, backViaDescriptor.data() + off);
    }
    EXPECT_EQ(toHex(out), toHex(ct));
    EXPECT_EQ(toHex(viaDescriptor), toHex(ct));
    EXPECT_EQ(toHex(back), toHex(pt));
    EXPECT_EQ(toHex(backViaDescriptor), toHex(pt));
    magmaEncryptBlocks(&magma, pt.data(), out.data(), pt.size() / 8);
    EXPECT_EQ(toHex(out), toHex(ct));
    EXPECT_EQ(kMagmaDescriptor.blockLength, 8u);
    EXPECT_EQ(kMagmaDescriptor.keyLength, 32u);
    EXPECT_EQ(kMagmaDescriptor.contextSize, sizeof(MagmaContext));
}

INSTANTIATE_TEST_SUITE_P(Published, MagmaVectors, ::testing::Values("rfc8891", "gost3413_ecb", "zero"));

// Random keys and blocks: decryption inverts encryption, and the interleaved multi-block path
// (every count, so the 4-, 2- and 1-block tails all run, also in place) equals block by block.
TEST(Magma, InterleavedBlocksAndDecryptionAgreeWithSingleBlocks)
{
    std::mt19937 rng(8891);
    for (size_t trial = 0; trial < 50; ++trial) {
        Bytes key(32), pt(8 * (1 + trial % 11));
        for (auto *b : {&key, &pt})
            for (auto &x : *b)
                x = uint8_t(rng());
        MagmaContext magma;
        magmaSetKey(&magma, key.data());
        Bytes one(pt.size()), back(pt.size()), many(pt.size()), inPlace = pt;
        for (size_t i = 0; i < pt.size(); i += 8) {
            magmaEncryptBlock(&magma, pt.data() + i, one.data() + i);
            magmaDecryptBlock(&magma, one.data() + i, back.data() + i);
        }
        ASSERT_EQ(toHex(back), toHex(pt));
        magmaEncryptBlocks(&magma, pt.data(), many.data(), pt.size() / 8);
        EXPECT_EQ(toHex(many), toHex(one)) << "blocks " << pt.size() / 8;
        magmaEncryptBlocks(&magma, inPlace.data(), inPlace.data(), pt.size() / 8);
        EXPECT_EQ(toHex(inPlace), toHex(one)) << "in place, blocks " << pt.size() / 8;
    }
}

} // namespace
