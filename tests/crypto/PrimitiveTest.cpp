// Magma, CFB, Streebog-512 and HMAC. First every case of crypto-vectors.txt (the file cites each
// one's source, published or computed and checked with independent libraries), also of the MAC
// and P_hash, through the descriptors: CFB and the MACs get a first run that is then reset (a
// finished MAC or hash must refuse more), and the input in two pieces split at every point; the
// ciphers are run both ways. Then what
// the vectors cannot show. Random lengths and pieces are compared with OpenSSL in
// DifferentialTest.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "VectorFile.h"
#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/Hmac.h"
#include "crypto/KeyDerivation.h"
#include "crypto/Magma.h"
#include "crypto/Streebog.h"

namespace {

// Feeds `in` to a streaming step as in[0, split) and in[split, end).
template <typename Step>
void twoPieces(const Bytes &in, size_t split, Step step)
{
    EXPECT_EQ(step(in.data(), split, 0), 0);
    EXPECT_EQ(step(in.data() + split, in.size() - split, split), 0);
}

// Encryption takes the multi-block path in two runs split at a block boundary, so every tail
// (4, 2 and 1 blocks) runs; the second run is in place.
Bytes magmaBlocks(const std::string &p, const Bytes &in, size_t split, bool decrypt)
{
    MagmaContext magma;
    kMagmaDescriptor.setKey(&magma, vec(p + ".key").data());
    Bytes out = in;
    const size_t head = split / 8, blocks = in.size() / 8;
    if (!decrypt) {
        kMagmaDescriptor.encryptBlocks(&magma, in.data(), out.data(), head);
        kMagmaDescriptor.encryptBlocks(&magma, out.data() + 8 * head, out.data() + 8 * head, blocks - head);
    }
    for (size_t b = 0; decrypt && b < blocks; ++b)
        kMagmaDescriptor.decrypt(&magma, in.data() + 8 * b, out.data() + 8 * b);
    return out;
}

Bytes cfb(const std::string &p, const Bytes &in, size_t split, bool decrypt)
{
    MagmaContext magma;
    magmaSetKey(&magma, vec(p + ".key").data());
    const Bytes iv = vec(p + ".iv");
    CfbContext cfb;
    EXPECT_EQ(cfbInit(&cfb, &kMagmaDescriptor, &magma, iv.data(), iv.size(), 8), 0);
    const auto run = decrypt ? kCfbDescriptor.decrypt : kCfbDescriptor.encrypt;
    Bytes out(in.size());
    run(&cfb, in.data(), out.data(), in.size());
    EXPECT_EQ(kCfbDescriptor.reset(&cfb), 0);
    twoPieces(in, split, [&](const uint8_t *d, size_t n, size_t at) { return run(&cfb, d, out.data() + at, n); });
    return out;
}

// A MAC run once whole, refusing more after final, then reset and run again in two pieces.
template <typename Descriptor>
Bytes macTwice(const Descriptor &d, void *context, const Bytes &in, size_t split, size_t outputLength)
{
    Bytes out(outputLength);
    uint8_t junk[64] = {};
    d.update(context, in.data(), in.size());
    EXPECT_EQ(d.final(context, out.data()), 0);
    EXPECT_EQ(d.update(context, junk, 1), -9) << "update after final";
    EXPECT_EQ(d.final(context, junk), -9) << "final after final";
    EXPECT_EQ(d.reset(context), 0);
    twoPieces(in, split, [&](const uint8_t *data, size_t n, size_t) { return d.update(context, data, n); });
    EXPECT_EQ(d.final(context, out.data()), 0);
    return out;
}

Bytes cmac(const std::string &p, const Bytes &in, size_t split, bool)
{
    MagmaContext magma;
    magmaSetKey(&magma, vec(p + ".key").data());
    CmacContext cmac;
    EXPECT_EQ(cmacInit(&cmac, &kMagmaDescriptor, &magma, 8), 0);
    return macTwice(kCmacDescriptor, &cmac, in, split, 8);
}

Bytes streebog(const std::string &, const Bytes &in, size_t split, bool)
{
    StreebogContext ctx;
    EXPECT_EQ(kStreebog512Descriptor.init(&ctx), 0);
    const auto update = [&](const uint8_t *d, size_t n, size_t) { return kStreebog512Descriptor.update(&ctx, d, n); };
    twoPieces(in, split, update);
    Bytes out(64);
    EXPECT_EQ(kStreebog512Descriptor.final(&ctx, out.data()), 0);
    uint8_t junk[64] = {};
    EXPECT_EQ(kStreebog512Descriptor.update(&ctx, junk, 1), -9) << "update after final";
    EXPECT_EQ(kStreebog512Descriptor.final(&ctx, junk), -9) << "final after final";
    return out;
}

struct Hmac512 {
    StreebogContext inner, outer;
    HmacContext hmac;
    int init(const Bytes &key, size_t outputLength = 0)
    {
        streebogInit(&inner);
        streebogInit(&outer);
        return hmacInit(&hmac, &kStreebog512Descriptor, &inner, &outer, key.data(), key.size(), outputLength);
    }
};

Bytes hmac(const std::string &p, const Bytes &in, size_t split, bool)
{
    Hmac512 h;
    EXPECT_EQ(h.init(vec(p + ".key")), 0);
    return macTwice(kHmacDescriptor, &h.hmac, in, split, 64);
}

// P_hash over HMAC-Streebog-512 with label || seed split between the first two seed pieces.
Bytes phash(const std::string &p, const Bytes &in, size_t split, bool)
{
    const Bytes secret = vec(p + ".secret");
    Bytes out(vec(p + ".out").size());
    EXPECT_EQ(hmacPrf(secret.data(), secret.size(), in.data(), split, in.data() + split, in.size() - split, nullptr,
                      0, nullptr, 0, nullptr, 0, out.data(), out.size()),
              0);
    return out;
}

struct Group {
    std::string name;
    const char *in, *out;
    bool invertible;
    Bytes (*run)(const std::string &p, const Bytes &in, size_t split, bool decrypt);
};

const Group kGroups[] = {
    {"magma_block", "pt", "ct", true, magmaBlocks}, {"magma_cfb", "pt", "ct", true, cfb},
    {"magma_cmac", "msg", "mac", false, cmac},      {"streebog512", "msg", "digest", false, streebog},
    {"hmac_streebog512", "msg", "mac", false, hmac}, {"phash_streebog512", "seed", "out", false, phash},
};

class Vectors : public ::testing::TestWithParam<std::string> {};

TEST_P(Vectors, MatchAtEverySplitPoint)
{
    const std::string p = GetParam(), group = p.substr(0, p.find('.'));
    const Group *g =
        std::find_if(std::begin(kGroups), std::end(kGroups), [&](const Group &x) { return x.name == group; });
    ASSERT_NE(g, std::end(kGroups)) << "no runner for " << group;
    // The seed of P_hash is label || seed.
    const Bytes in =
        group == "phash_streebog512" ? concat({vec(p + ".label"), vec(p + ".seed")}) : vec(p + "." + g->in);
    const Bytes out = vec(p + "." + g->out);
    for (size_t split = 0; split <= in.size(); ++split) {
        EXPECT_EQ(toHex(g->run(p, in, split, false)), toHex(out)) << "split at " << split;
        if (g->invertible) {
            EXPECT_EQ(toHex(g->run(p, out, split, true)), toHex(in)) << "split at " << split << ", backwards";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(File, Vectors, ::testing::ValuesIn(vectorCases()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

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

TEST(Hmac, TruncatedOutputIsThePrefix)
{
    const Bytes msg = vec("hmac_streebog512.rfc7836.msg"), full = vec("hmac_streebog512.rfc7836.mac");
    Hmac512 h;
    ASSERT_EQ(h.init(vec("hmac_streebog512.rfc7836.key"), 32), 0);
    uint8_t out[64] = {};
    hmacUpdate(&h.hmac, msg.data(), msg.size());
    ASSERT_EQ(hmacFinal(&h.hmac, out), 0);
    EXPECT_EQ(toHex(out, 64), toHex(full.data(), 32) + std::string(64, '0')) << "wrote past the output length";
}

// After a failing hash step (here: the inner context finalised behind the
// HMAC's back, which clears valid), the context refuses everything until it is set up again.
TEST(Hmac, ErrorCodes)
{
    const Bytes key = vec("hmac_streebog512.rfc7836.key");
    Hmac512 h;
    EXPECT_EQ(h.init(key, 65), -22);
    uint8_t out[64];
    EXPECT_EQ(hmacUpdate(&h.hmac, out, 1), -9);
    EXPECT_EQ(hmacReset(&h.hmac), -9);
    EXPECT_EQ(hmacInit(&h.hmac, &kStreebog512Descriptor, nullptr, &h.outer, key.data(), key.size(), 0), -9);
    EXPECT_EQ(hmacInit(&h.hmac, nullptr, &h.inner, &h.outer, key.data(), key.size(), 0), -9);

    ASSERT_EQ(h.init(key), 0);
    streebogFinal(&h.inner, out);
    EXPECT_EQ(hmacUpdate(&h.hmac, out, 1), -9);
    EXPECT_EQ(hmacReset(&h.hmac), -9);
    EXPECT_EQ(hmacFinal(&h.hmac, out), -9);
}

} // namespace
