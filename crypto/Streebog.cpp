#include "crypto/Streebog.h"

#include <cstring>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The hash keeps its 512-bit values as little-endian 64-bit words"
#endif

namespace {

// out = LPS(a ^ b): word i of the result gathers byte i of each of the eight rows.
inline void lpsXor(uint64_t *out, const uint64_t *a, const uint64_t *b)
{
    uint64_t x[8];
    for (int r = 0; r < 8; ++r)
        x[r] = a[r] ^ b[r];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const int shift = 8 * i;
        out[i] = kStreebogLps[0][(x[0] >> shift) & 0xff] ^ kStreebogLps[1][(x[1] >> shift) & 0xff]
            ^ kStreebogLps[2][(x[2] >> shift) & 0xff] ^ kStreebogLps[3][(x[3] >> shift) & 0xff]
            ^ kStreebogLps[4][(x[4] >> shift) & 0xff] ^ kStreebogLps[5][(x[5] >> shift) & 0xff]
            ^ kStreebogLps[6][(x[6] >> shift) & 0xff] ^ kStreebogLps[7][(x[7] >> shift) & 0xff];
    }
}

// h = g_N(h, m)
void compress(uint64_t *h, const uint64_t *n, const uint64_t *m)
{
    uint64_t key[8], next[8], t[8];
    lpsXor(key, h, n);
    std::memcpy(t, m, sizeof t);
    for (int i = 0; i < 12; ++i) {
        lpsXor(next, t, key);
        std::memcpy(t, next, sizeof t);
        lpsXor(next, key, kStreebogIterationConstants[i]);
        std::memcpy(key, next, sizeof key);
    }
    for (int i = 0; i < 8; ++i)
        h[i] ^= t[i] ^ key[i] ^ m[i];
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
