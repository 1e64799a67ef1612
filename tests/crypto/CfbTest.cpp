// Cipher feedback: the shapes it refuses. The vectors are VectorTest's; every register and
// segment size, random splits and in-place use are compared with OpenSSL in DifferentialTest.
#include <gtest/gtest.h>

#include "crypto/Cfb.h"
#include "crypto/Magma.h"

namespace {

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
