#include "crypto/Magma.h"

#include <cstring>

namespace {

inline uint32_t loadBig32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void storeBig32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Substitution followed by the rotation by 11, from the combined table.
inline uint32_t g(uint32_t x)
{
    return kMagmaSubstitution[0][x & 0xff] ^ kMagmaSubstitution[1][(x >> 8) & 0xff]
        ^ kMagmaSubstitution[2][(x >> 16) & 0xff] ^ kMagmaSubstitution[3][x >> 24];
}

// Two rounds in place: the halves never swap, they take turns.
#define MAGMA_ROUNDS(a, b, ka, kb) \
    a ^= g(b + (ka));              \
    b ^= g(a + (kb));

// a holds bytes 0-3 of the block (the standard's a1), b bytes 4-7 (a0). After the 32 rounds the
// half the last round changed is b: it goes to bytes 0-3.
inline void encryptWords(const uint32_t *k, uint32_t &a, uint32_t &b)
{
    for (int i = 0; i < 3; ++i) {
        MAGMA_ROUNDS(a, b, k[0], k[1])
        MAGMA_ROUNDS(a, b, k[2], k[3])
        MAGMA_ROUNDS(a, b, k[4], k[5])
        MAGMA_ROUNDS(a, b, k[6], k[7])
    }
    MAGMA_ROUNDS(a, b, k[7], k[6])
    MAGMA_ROUNDS(a, b, k[5], k[4])
    MAGMA_ROUNDS(a, b, k[3], k[2])
    MAGMA_ROUNDS(a, b, k[1], k[0])
}

inline void decryptWords(const uint32_t *k, uint32_t &a, uint32_t &b)
{
    MAGMA_ROUNDS(a, b, k[0], k[1])
    MAGMA_ROUNDS(a, b, k[2], k[3])
    MAGMA_ROUNDS(a, b, k[4], k[5])
    MAGMA_ROUNDS(a, b, k[6], k[7])
    for (int i = 0; i < 3; ++i) {
        MAGMA_ROUNDS(a, b, k[7], k[6])
        MAGMA_ROUNDS(a, b, k[5], k[4])
        MAGMA_ROUNDS(a, b, k[3], k[2])
        MAGMA_ROUNDS(a, b, k[1], k[0])
    }
}

#undef MAGMA_ROUNDS

// Several independent blocks advance round by round together, so the look-up latency of one
// block overlaps the work of the others.
template <int Lanes>
inline void encryptInterleaved(const uint32_t *k, const uint8_t *input, uint8_t *output)
{
    uint32_t a[Lanes], b[Lanes];
    for (int l = 0; l < Lanes; ++l) {
        a[l] = loadBig32(input + 8 * l);
        b[l] = loadBig32(input + 8 * l + 4);
    }
    static constexpr uint8_t kOrder[32] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                           0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};
#pragma GCC unroll 16
    for (int r = 0; r < 32; r += 2) {
        const uint32_t ka = k[kOrder[r]];
        const uint32_t kb = k[kOrder[r + 1]];
#pragma GCC unroll 4
        for (int l = 0; l < Lanes; ++l)
            a[l] ^= g(b[l] + ka);
#pragma GCC unroll 4
        for (int l = 0; l < Lanes; ++l)
            b[l] ^= g(a[l] + kb);
    }
    for (int l = 0; l < Lanes; ++l) {
        storeBig32(output + 8 * l, b[l]);
        storeBig32(output + 8 * l + 4, a[l]);
    }
}

void descriptorEncrypt(const void *context, const uint8_t *input, uint8_t *output)
{
    magmaEncryptBlock(static_cast<const MagmaContext *>(context), input, output);
}

void descriptorDecrypt(const void *context, const uint8_t *input, uint8_t *output)
{
    magmaDecryptBlock(static_cast<const MagmaContext *>(context), input, output);
}

void descriptorSetKey(void *context, const uint8_t *key)
{
    MagmaContext *magma = static_cast<MagmaContext *>(context);
    for (int i = 0; i < 8; ++i)
        magma->key[i] = loadBig32(key + 4 * i);
    magma->keySet = true;
}

void descriptorEncryptBlocks(const void *context, const uint8_t *input, uint8_t *output, size_t count)
{
    magmaEncryptBlocks(static_cast<const MagmaContext *>(context), input, output, count);
}

} // namespace

int magmaSetKey(MagmaContext *context, const uint8_t *key)
{
    if (context == nullptr)
        return kCryptoInvalidArgument;
    std::memset(context, 0, sizeof *context);
    if (key != nullptr)
        descriptorSetKey(context, key);
    return kCryptoOk;
}

void magmaEncryptBlock(const MagmaContext *context, const uint8_t input[8], uint8_t output[8])
{
    uint32_t a = loadBig32(input);
    uint32_t b = loadBig32(input + 4);
    encryptWords(context->key, a, b);
    storeBig32(output, b);
    storeBig32(output + 4, a);
}

void magmaDecryptBlock(const MagmaContext *context, const uint8_t input[8], uint8_t output[8])
{
    uint32_t a = loadBig32(input);
    uint32_t b = loadBig32(input + 4);
    decryptWords(context->key, a, b);
    storeBig32(output, b);
    storeBig32(output + 4, a);
}

void magmaEncryptBlocks(const MagmaContext *context, const uint8_t *input, uint8_t *output, size_t count)
{
    while (count >= 4) {
        encryptInterleaved<4>(context->key, input, output);
        input += 32;
        output += 32;
        count -= 4;
    }
    if (count >= 2) {
        encryptInterleaved<2>(context->key, input, output);
        input += 16;
        output += 16;
        count -= 2;
    }
    if (count == 1)
        magmaEncryptBlock(context, input, output);
}

const CipherDescriptor kMagmaDescriptor = {
    descriptorEncrypt,
    descriptorDecrypt,
    descriptorSetKey,
    sizeof(MagmaContext),
    kMagmaKeyLength,
    kMagmaBlockLength,
    descriptorEncryptBlocks,
};
