#include "crypto/Streebog.h"

#include <cstring>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The hash keeps its 512-bit values as little-endian 64-bit words"
#endif

namespace {

// out = LPS(a ^ b): word i of the result gathers byte i of each of the eight rows. Each row
// stays in a register and gives up its lowest byte per output word (the shift by 8 is in place),
// so the 64 look-ups need no extra copies.
inline void lpsXor(uint64_t *out, const uint64_t *a, const uint64_t *b)
{
    uint64_t r0 = a[0] ^ b[0], r1 = a[1] ^ b[1], r2 = a[2] ^ b[2], r3 = a[3] ^ b[3];
    uint64_t r4 = a[4] ^ b[4], r5 = a[5] ^ b[5], r6 = a[6] ^ b[6], r7 = a[7] ^ b[7];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        out[i] = kStreebogLps[0][r0 & 0xff] ^ kStreebogLps[1][r1 & 0xff] ^ kStreebogLps[2][r2 & 0xff]
            ^ kStreebogLps[3][r3 & 0xff] ^ kStreebogLps[4][r4 & 0xff] ^ kStreebogLps[5][r5 & 0xff]
            ^ kStreebogLps[6][r6 & 0xff] ^ kStreebogLps[7][r7 & 0xff];
        r0 >>= 8;
        r1 >>= 8;
        r2 >>= 8;
        r3 >>= 8;
        r4 >>= 8;
        r5 >>= 8;
        r6 >>= 8;
        r7 >>= 8;
        // Keeps the rows in registers, shifted in place, instead of copies shifted by 8i.
        __asm__("" : "+r"(r0), "+r"(r1), "+r"(r2), "+r"(r3), "+r"(r4), "+r"(r5), "+r"(r6), "+r"(r7));
    }
}

// h = g_N(h, m)
void compress(uint64_t *h, const uint64_t *n, const uint64_t *m)
{
    // Key and data each alternate between two buffers instead of being copied back.
    uint64_t key[2][8], t[2][8];
    lpsXor(key[0], h, n);
    lpsXor(t[0], m, key[0]);
    for (int i = 0; i < 12; i += 2) {
        lpsXor(key[1], key[0], kStreebogIterationConstants[i]);
        lpsXor(t[1], t[0], key[1]);
        lpsXor(key[0], key[1], kStreebogIterationConstants[i + 1]);
        if (i + 2 < 12)
            lpsXor(t[0], t[1], key[0]);
    }
    for (int i = 0; i < 8; ++i)
        h[i] ^= t[1][i] ^ key[0][i] ^ m[i];
}

void add512(uint64_t *sum, const uint64_t *value)
{
    unsigned carry = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned __int128 s = (unsigned __int128)sum[i] + value[i] + carry;
        sum[i] = uint64_t(s);
        carry = unsigned(s >> 64);
    }
}

void addBits(uint64_t *n, uint64_t bits)
{
    const uint64_t value[8] = {bits, 0, 0, 0, 0, 0, 0, 0};
    add512(n, value);
}

void absorbBlock(StreebogContext *context, const uint8_t *block)
{
    uint64_t m[8];
    std::memcpy(m, block, sizeof m);
    compress(context->h, context->n, m);
    add512(context->sigma, m);
    addBits(context->n, 512);
}

int hashInit(void *context)
{
    return streebogInit(static_cast<StreebogContext *>(context));
}

int hashUpdate(void *context, const uint8_t *data, size_t length)
{
    return streebogUpdate(static_cast<StreebogContext *>(context), data, length);
}

int hashFinal(void *context, uint8_t *output)
{
    return streebogFinal(static_cast<StreebogContext *>(context), output);
}

} // namespace

int streebogInit(StreebogContext *context)
{
    if (context == nullptr)
        return kCryptoInvalidArgument;
    std::memset(context, 0, sizeof *context);  // h = 0 selects the 512-bit digest
    return kCryptoOk;
}

int streebogUpdate(StreebogContext *context, const uint8_t *data, size_t length)
{
    if (context == nullptr || context->finalised)
        return kCryptoNotReady;
    if (length == 0)
        return kCryptoOk;
    if (data == nullptr)
        return kCryptoInvalidArgument;
    size_t fill = size_t(context->byteCount & 63);
    context->byteCount += length;
    if (fill + length < kStreebogBlockLength) {
        std::memcpy(context->buffer + fill, data, length);
        return kCryptoOk;
    }
    if (fill != 0) {
        const size_t top = kStreebogBlockLength - fill;
        std::memcpy(context->buffer + fill, data, top);
        absorbBlock(context, context->buffer);
        data += top;
        length -= top;
        fill = 0;
    }
    while (length >= kStreebogBlockLength) {
        absorbBlock(context, data);
        data += kStreebogBlockLength;
        length -= kStreebogBlockLength;
    }
    std::memcpy(context->buffer, data, length);
    return kCryptoOk;
}

int streebogFinal(StreebogContext *context, uint8_t *digest)
{
    if (context == nullptr || context->finalised)
        return kCryptoNotReady;
    if (digest == nullptr)
        return kCryptoInvalidArgument;
    const size_t fill = size_t(context->byteCount & 63);
    context->buffer[fill] = 0x01;
    std::memset(context->buffer + fill + 1, 0, kStreebogBlockLength - fill - 1);
    uint64_t m[8];
    std::memcpy(m, context->buffer, sizeof m);
    compress(context->h, context->n, m);
    add512(context->sigma, m);
    addBits(context->n, 8 * fill);
    static const uint64_t kZero[8] = {};
    compress(context->h, kZero, context->n);
    compress(context->h, kZero, context->sigma);
    std::memcpy(digest, context->h, kStreebog512DigestLength);
    context->finalised = true;
    return kCryptoOk;
}

const HashDescriptor kStreebog512Descriptor = {
    hashInit, hashUpdate, hashFinal, sizeof(StreebogContext), kStreebogBlockLength,
    kStreebog512DigestLength,
};
