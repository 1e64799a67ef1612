// Cipher feedback. Vectors: GOST R 34.13-2015 A.2.5 (m = 16, s = 8) and the computed m = s = 8
// cases of crypto-vectors.txt (checked with OpenSSL's gost engine and libgcrypt).
#include <random>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Cfb.h"
#include "crypto/Magma.h"

namespace {

// Straight from the standard's definition, one segment at a time and with nothing kept
// between calls: the model the streaming code must match.
Bytes modelCfb(const MagmaContext &magma, const Bytes &iv, size_t s, const Bytes &input, bool decrypt)
{
    Bytes reg = iv, out;
    for (size_t off = 0; off < input.size(); off += s) {
        uint8_t ks[8];
        magmaEncryptBlock(&magma, reg.data(), ks);
        const size_t n = std::min(s, input.size() - off);
        Bytes segment;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(uint8_t(input[off + i] ^ ks[i]));
            segment.push_back(decrypt ? input[off + i] : out.back());
        }
        reg.erase(reg.begin(), reg.begin() + s);
        reg.insert(reg.end(), segment.begin(), segment.end());
    }
    return out;
}

class CfbVectors : public ::testing::TestWithParam<const char *> {};

TEST_P(CfbVectors, MatchesPublishedValueInBothDirections)
{
    const VectorFile &v = VectorFile::instance();
    const std::string p = std::string("magma_cfb.") + GetParam();
    const Bytes key = v.get(p + ".key"), iv = v.get(p + ".iv"), pt = v.get(p + ".pt"), ct = v.get(p + ".ct");
    MagmaContext magma;
    magmaSetKey(&magma, key.data());
    CfbContext cfb;
    ASSERT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv.data(), iv.size(), 8), 0);
    Bytes out(pt.size());
    ASSERT_EQ(kCfbDescriptor.encrypt(&cfb, pt.data(), out.data(), pt.size()), 0);
    EXPECT_EQ(toHex(out), toHex(ct));
    ASSERT_EQ(kCfbDescriptor.reset(&cfb), 0);
    ASSERT_EQ(kCfbDescriptor.decrypt(&cfb, ct.data(), out.data(), ct.size()), 0);
    EXPECT_EQ(toHex(out), toHex(pt));
}

INSTANTIATE_TEST_SUITE_P(Published, CfbVectors, ::testing::Values("gost3413_m16", "m8_32", "m8_13"));

// 13 bytes at once, as 8 + 5 and as 3 + 6 + 4 give the published m = s = 8 ciphertext.
TEST(Cfb, ThirteenBytesSplitIntoCallsEqualsOneCall)
{
    const VectorFile &v = VectorFile::instance();
    const Bytes key = v.get("magma_cfb.m8_13.key"), iv = v.get("magma_cfb.m8_13.iv");
    const Bytes pt = v.get("magma_cfb.m8_13.pt"), ct = v.get("magma_cfb.m8_13.ct");
    MagmaContext magma;
    magmaSetKey(&magma, key.data());
    const std::vector<std::vector<size_t>> splits = {{13}, {8, 5}, {3, 6, 4}, {1, 1, 1, 10}, {7, 1, 5}};
    for (const auto &pieces : splits) {
        CfbContext cfb;
        cfbInit(&cfb, &kMagmaDescriptor, &magma, iv.data(), 8, 8);
        Bytes out(pt.size());
        size_t off = 0;
        for (size_t n : pieces) {
            ASSERT_EQ(cfbEncrypt(&cfb, pt.data() + off, out.data() + off, n), 0);
            off += n;
        }
        EXPECT_EQ(toHex(out), toHex(ct)) << "pieces starting " << pieces[0];
    }
}

// Random keys, lengths 0..80 and register/segment shapes; both sides split the data into
// random pieces independently, decryption works in place half of the time.
TEST(Cfb, AnySplitOfAnyShapeMatchesTheModelAndRoundTrips)
{
    std::mt19937 rng(341315);
    const size_t registers[] = {8, 16, 24, 64};
    for (int trial = 0; trial < 400; ++trial) {
        uint8_t key[32];
        for (auto &b : key)
            b = uint8_t(rng());
        MagmaContext magma;
        magmaSetKey(&magma, key);
        const size_t m = registers[trial % 4];
        const size_t s = trial % 3 == 0 ? 8 : 1 + rng() % 8;
        Bytes iv(m), pt(trial % 81);
        for (auto &b : iv)
            b = uint8_t(rng());
        for (auto &b : pt)
            b = uint8_t(rng());
        const Bytes expected = modelCfb(magma, iv, s, pt, false);

        auto runSplit = [&](const Bytes &in, bool decrypt, bool inPlace) {
            CfbContext cfb;
            EXPECT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv.data(), m, s), 0);
            Bytes out = in;
            size_t off = 0;
            while (off < in.size()) {
                const size_t n = std::min<size_t>(in.size() - off, rng() % 20);
                const uint8_t *src = inPlace ? out.data() + off : in.data() + off;
                EXPECT_EQ((decrypt ? cfbDecrypt : cfbEncrypt)(&cfb, src, out.data() + off, n), 0);
                off += n;
            }
            return out;
        };
        const Bytes ct = runSplit(pt, false, false);
        ASSERT_EQ(toHex(ct), toHex(expected)) << "m " << m << " s " << s << " length " << pt.size();
        EXPECT_EQ(toHex(runSplit(ct, true, trial % 2 == 0)), toHex(pt)) << "m " << m << " s " << s;
    }
}

TEST(Cfb, RejectsBadShapesAndUnreadyContexts)
{
    MagmaContext magma;
    magmaSetKey(&magma, nullptr);
    uint8_t iv[65] = {};
    CfbContext cfb;
    struct Shape {
        size_t m, s;
        int rc;
    };
    const Shape shapes[] = {{4, 8, -22}, {65, 8, -22}, {8, 9, -22}, {7, 0, -22}, {8, 0, 0}, {64, 1, 0}};
    for (const Shape &shape : shapes)
        EXPECT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv, shape.m, shape.s), shape.rc)
            << "m " << shape.m << " s " << shape.s;
    EXPECT_EQ(cfbInit(&cfb, nullptr, &magma, iv, 8, 8), -9);
    uint8_t buffer[8] = {};
    EXPECT_EQ(cfbEncrypt(&cfb, buffer, buffer, 8), -9);
    EXPECT_EQ(cfbReset(&cfb), -9);
}

} // namespace
