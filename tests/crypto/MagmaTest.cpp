// Magma block cipher. Vectors: RFC 8891 Appendix A (= GOST R 34.12-2015 Appendix A.2), the ECB
// example of GOST R 34.13-2015 A.2.1, and E_K(0) printed as R in GOST R 34.13-2015 A.2.6.
#include <random>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Magma.h"

namespace {

struct BlockCase {
    const char *name;
};

class MagmaVectors : public ::testing::TestWithParam<BlockCase> {};

TEST_P(MagmaVectors, EncryptsAndDecryptsEveryBlockAsPublished)
{
    const VectorFile &v = VectorFile::instance();
    const std::string prefix = std::string("magma_block.") + GetParam().name;
    const Bytes key = v.get(prefix + ".key");
    const Bytes pt = v.get(prefix + ".pt");
    const Bytes ct = v.get(prefix + ".ct");
    ASSERT_EQ(key.size(), 32u);
    ASSERT_EQ(pt.size(), ct.size());
    ASSERT_EQ(pt.size() % 8, 0u);
    MagmaContext magma;
    ASSERT_EQ(magmaSetKey(&magma, key.data()), 0);
    for (size_t off = 0; off < pt.size(); off += 8) {
        uint8_t out[8];
        magmaEncryptBlock(&magma, pt.data() + off, out);
        EXPECT_EQ(toHex(out, 8), toHex(ct.data() + off, 8)) << "block at " << off;
        magmaDecryptBlock(&magma, ct.data() + off, out);
        EXPECT_EQ(toHex(out, 8), toHex(pt.data() + off, 8)) << "block at " << off;
    }
    Bytes batch(pt.size());
    magmaEncryptBlocks(&magma, pt.data(), batch.data(), pt.size() / 8);
    EXPECT_EQ(toHex(batch), toHex(ct));
}

INSTANTIATE_TEST_SUITE_P(Published, MagmaVectors,
                         ::testing::Values(BlockCase{"rfc8891"}, BlockCase{"gost3413_ecb"}, BlockCase{"zero"}),
                         [](const auto &info) { return std::string(info.param.name); });

// The descriptor binds to the same operations as the direct calls.
TEST(Magma, DescriptorMatchesDirectCalls)
{
    const Bytes key = VectorFile::instance().get("magma_block.rfc8891.key");
    const Bytes pt = VectorFile::instance().get("magma_block.rfc8891.pt");
    const Bytes ct = VectorFile::instance().get("magma_block.rfc8891.ct");
    MagmaContext magma;
    magmaSetKey(&magma, nullptr);
    EXPECT_FALSE(magma.keySet);
    kMagmaDescriptor.setKey(&magma, key.data());
    EXPECT_TRUE(magma.keySet);
    uint8_t out[8];
    kMagmaDescriptor.encrypt(&magma, pt.data(), out);
    EXPECT_EQ(toHex(out, 8), toHex(ct));
    kMagmaDescriptor.decrypt(&magma, ct.data(), out);
    EXPECT_EQ(toHex(out, 8), toHex(pt));
    EXPECT_EQ(kMagmaDescriptor.blockLength, 8u);
    EXPECT_EQ(kMagmaDescriptor.keyLength, 32u);
    EXPECT_EQ(kMagmaDescriptor.contextSize, sizeof(MagmaContext));
}

// Random keys and blocks: decryption inverts encryption, and the interleaved multi-block path
// (every count, so the 4-, 2- and 1-block tails all run, also in place) equals block by block.
TEST(Magma, InterleavedBlocksAndDecryptionAgreeWithSingleBlocks)
{
    std::mt19937 rng(8891);
    for (int trial = 0; trial < 50; ++trial) {
        uint8_t key[32];
        for (auto &b : key)
            b = uint8_t(rng());
        MagmaContext magma;
        magmaSetKey(&magma, key);
        const size_t count = 1 + trial % 11;
        Bytes pt(8 * count), one(8 * count), many(8 * count);
        for (auto &b : pt)
            b = uint8_t(rng());
        for (size_t i = 0; i < count; ++i) {
            magmaEncryptBlock(&magma, pt.data() + 8 * i, one.data() + 8 * i);
            uint8_t back[8];
            magmaDecryptBlock(&magma, one.data() + 8 * i, back);
            ASSERT_EQ(toHex(back, 8), toHex(pt.data() + 8 * i, 8));
        }
        magmaEncryptBlocks(&magma, pt.data(), many.data(), count);
        EXPECT_EQ(toHex(many), toHex(one)) << "count " << count;
        Bytes inPlace = pt;
        magmaEncryptBlocks(&magma, inPlace.data(), inPlace.data(), count);
        EXPECT_EQ(toHex(inPlace), toHex(one)) << "in place, count " << count;
    }
}

} // namespace
