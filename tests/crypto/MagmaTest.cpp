// Magma block cipher beyond the vectors of VectorTest: the multi-block path and decryption.
#include <random>

#include <gtest/gtest.h>

#include "tests/messaging/TestBytes.h"
#include "crypto/Magma.h"

namespace {

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
