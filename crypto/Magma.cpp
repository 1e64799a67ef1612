#include "crypto/Magma.h"

#include <cstring>

#include "crypto/ByteOrder.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Blocks are moved as little-endian 64-bit words"
#endif

namespace {

// Blocks move as one 64-bit load and one 64-bit store, so a chained mode that writes a block and
// reads it straight back gets it from the store buffer instead of stalling on two 4-byte halves.
inline void loadBlock(const uint8_t *p, uint32_t &a, uint32_t &b)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    a = __builtin_bswap32(uint32_t(v));
    b = __builtin_bswap32(uint32_t(v >> 32));
}

inline void storeBlock(uint8_t *p, uint32_t first, uint32_t second)
{
    const uint64_t v = uint64_t(__builtin_bswap32(first)) | uint64_t(__builtin_bswap32(second)) << 32;
    std::memcpy(p, &v, 8);
}

// One round: target ^ g(source + key), g being the substitution followed by the rotation by 11,
// from the combined table. The serial modes wait on this chain, so the XORs form a tree: the
// target and three look-ups are combined while the look-up of byte 2 (two extraction steps,
// the last to arrive) is still on its way. The empty asm keeps the compiler from turning the
// tree back into one long chain.
inline uint32_t round(uint32_t target, uint32_t source, uint32_t key)
{
    const uint32_t x = source + key;
    uint32_t low = target ^ kMagmaSubstitution[0][x & 0xff];
    uint32_t high = kMagmaSubstitution[1][(x >> 8) & 0xff] ^ kMagmaSubstitution[3][x >> 24];
    __asm__("" : "+r"(low), "+r"(high));
    return (low ^ high) ^ kMagmaSubstitution[2][(x >> 16) & 0xff];
}

// Two rounds in place: the halves never swap, they take turns.
#define MAGMA_ROUNDS(a, b, ka, kb) \
    a = round(a, b, ka);           \
    b = round(b, a, kb);

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
    for (int l = 0; l < Lanes; ++l)
        loadBlock(input + 8 * l, a[l], b[l]);
    static constexpr uint8_t kOrder[32] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                           0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};
#pragma GCC unroll 16
    for (int r = 0; r < 32; r += 2) {
        const uint32_t ka = k[kOrder[r]];
        const uint32_t kb = k[kOrder[r + 1]];
#pragma GCC unroll 4
        for (int l = 0; l < Lanes; ++l)
            a[l] = round(a[l], b[l], ka);
#pragma GCC unroll 4
        for (int l = 0; l < Lanes; ++l)
            b[l] = round(b[l], a[l], kb);
    }
    for (int l = 0; l < Lanes; ++l)
        storeBlock(output + 8 * l, b[l], a[l]);
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

void descriptorChainBlocks(const void *context, uint8_t *reg, const uint8_t *input, uint8_t *output, size_t count)
{
    magmaChainBlocks(static_cast<const MagmaContext *>(context), reg, input, output, count);
}

void descriptorFeedbackBlocks(const void *context, uint8_t *reg, const uint8_t *input, uint8_t *output,
                              size_t count)
{
    magmaFeedbackBlocks(static_cast<const MagmaContext *>(context), reg, input, output, count);
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
    uint32_t a, b;
    loadBlock(input, a, b);
    encryptWords(context->key, a, b);
    storeBlock(output, b, a);
}

void magmaDecryptBlock(const MagmaContext *context, const uint8_t input[8], uint8_t output[8])
{
    uint32_t a, b;
    loadBlock(input, a, b);
    decryptWords(context->key, a, b);
    storeBlock(output, b, a);
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

void magmaChainBlocks(const MagmaContext *context, uint8_t reg[8], const uint8_t *input, uint8_t *output,
                      size_t count)
{
    uint32_t ra, rb;
    loadBlock(reg, ra, rb);
    for (size_t i = 0; i < count; ++i) {
        uint32_t a, b;
        loadBlock(input + 8 * i, a, b);
        a ^= ra;
        b ^= rb;
        encryptWords(context->key, a, b);
        ra = b;  // the output block is (b, a)
        rb = a;
        storeBlock(output + 8 * i, ra, rb);
    }
    storeBlock(reg, ra, rb);
}

void magmaFeedbackBlocks(const MagmaContext *context, uint8_t reg[8], const uint8_t *input, uint8_t *output,
                         size_t count)
{
    uint32_t ra, rb;
    loadBlock(reg, ra, rb);
    for (size_t i = 0; i < count; ++i) {
        uint32_t a = ra, b = rb;
        encryptWords(context->key, a, b);
        uint32_t ia, ib;
        loadBlock(input + 8 * i, ia, ib);
        ra = ia ^ b;
        rb = ib ^ a;
        storeBlock(output + 8 * i, ra, rb);
    }
    storeBlock(reg, ra, rb);
}

const CipherDescriptor kMagmaDescriptor = {
    descriptorEncrypt,
    descriptorDecrypt,
    descriptorSetKey,
    sizeof(MagmaContext),
    kMagmaKeyLength,
    kMagmaBlockLength,
    descriptorEncryptBlocks,
    descriptorChainBlocks,
    descriptorFeedbackBlocks,
};
