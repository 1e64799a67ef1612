// Cipher feedback. Vectors: GOST R 34.13-2015 A.2.5 (m = 16, s = 8) and the computed m = s = 8
// cases of crypto-vectors.txt (checked with OpenSSL's gost engine and libgcrypt). Every register
// and segment size, random splits and in-place use are compared with both libraries in
// DifferentialTest.
#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Cfb.h"
#include "crypto/Magma.h"

namespace {

class CfbVectors : public ::testing::TestWithParam<const char *> {};

// Through the descriptor, both directions, in two calls split at every point.
TEST_P(CfbVectors, MatchesPublishedValueAtEverySplitPoint)
{
    const std::string p = std::string("magma_cfb.") + GetParam();
    const Bytes key = vec(p + ".key"), iv = vec(p + ".iv"), pt = vec(p + ".pt"), ct = vec(p + ".ct");
    MagmaContext magma;
    magmaSetKey(&magma, key.data());
    CfbContext cfb;
    ASSERT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv.data(), iv.size(), 8), 0);
    for (size_t split = 0; split <= pt.size(); ++split) {
        for (bool decrypt : {false, true}) {
            const Bytes &in = decrypt ? ct : pt;
            const auto run = decrypt ? kCfbDescriptor.decrypt : kCfbDescriptor.encrypt;
            Bytes out(in.size());
            ASSERT_EQ(kCfbDescriptor.reset(&cfb), 0);
            ASSERT_EQ(run(&cfb, in.data(), out.data(), split), 0);
            ASSERT_EQ(run(&cfb, in.data() + split, out.data() + split, in.size() - split), 0);
            EXPECT_EQ(toHex(out), toHex(decrypt ? pt : ct)) << "split at " << split << (decrypt ? " decrypt" : "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Published, CfbVectors, ::testing::Values("gost3413_m16", "m8_32", "m8_13"));

TEST(Cfb, RejectsBadShapesAndUnreadyContexts)
{
    MagmaContext magma;
    magmaSetKey(&magma, nullptr);
    uint8_t iv[65] = {}, buffer[8] = {};
    CfbContext cfb;
    struct Shape {
        size_t m, s;
        int rc;
    };
    for (const Shape &shape : {Shape{4, 8, -22}, {65, 8, -22}, {8, 9, -22}, {7, 0, -22}, {8, 0, 0}, {64, 1, 0}})
        EXPECT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv, shape.m, shape.s), shape.rc)
            << "m " << shape.m << " s " << shape.s;
    EXPECT_EQ(cfbInit(&cfb, nullptr, &magma, iv, 8, 8), -9);
    EXPECT_EQ(cfbEncrypt(&cfb, buffer, buffer, 8), -9);
    EXPECT_EQ(cfbReset(&cfb), -9);
}

} // namespace
