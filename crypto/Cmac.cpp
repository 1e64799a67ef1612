#include "crypto/Cmac.h"

#include <cstring>

namespace {

// Shift left by one bit of the block read as a big-endian bit string; the constant of the
// block size is folded in when the top bit falls out.
void doubleBlock(const uint8_t *in, uint8_t *out, size_t n)
{
    const uint8_t carry = in[0] >> 7;
    for (size_t i = 0; i + 1 < n; ++i)
        out[i] = uint8_t((in[i] << 1) | (in[i + 1] >> 7));
    out[n - 1] = uint8_t(in[n - 1] << 1);
    const uint8_t polynomial = n == 16 ? 0x87 : 0x1B;
    out[n - 1] ^= uint8_t(-carry & polynomial);
}

bool usable(const CmacContext *context)
{
    return context != nullptr && context->valid && !context->finalised;
}

// Chains whole blocks; the outputs are only needed for the register.
int chainBlocks(CmacContext *context, const uint8_t *data, size_t length)
{
    uint8_t sink[8 * kMaxCipherBlock];
    const size_t n = context->chain.cipher->blockLength;
    const size_t batch = (sizeof sink / n) * n;
    while (length > 0) {
        const size_t piece = length < batch ? length : batch;
        const int rc = cbcEncrypt(&context->chain, data, sink, piece);
        if (rc != kCryptoOk) {
            context->valid = false;
            return rc;
        }
        data += piece;
        length -= piece;
    }
    return kCryptoOk;
}

int macReset(void *context)
{
    return cmacReset(static_cast<CmacContext *>(context));
}

int macUpdate(void *context, const uint8_t *data, size_t length)
{
    return cmacUpdate(static_cast<CmacContext *>(context), data, length);
}

int macFinal(void *context, uint8_t *output)
{
    return cmacFinal(static_cast<CmacContext *>(context), output);
}

} // namespace

int cmacInit(CmacContext *context, const CipherDescriptor *cipher, const void *cipherContext,
             size_t outputLength)
{
    if (context == nullptr)
        return kCryptoInvalidArgument;
    // Keyed per record, so only the flags are cleared up front; every other field is written
    // below before it can be read.
    context->valid = false;
    context->finalised = false;
    context->bufferCount = 0;
    if (cipher == nullptr || cipherContext == nullptr)
        return kCryptoNotReady;
    const size_t n = cipher->blockLength;
    if (cipher->encrypt == nullptr || n == 0 || n > kMaxCipherBlock)
        return kCryptoInvalidArgument;
    if (outputLength == 0)
        outputLength = n;
    if (outputLength > n)
        return kCryptoInvalidArgument;
    static const uint8_t kZero[kMaxCipherBlock] = {};
    const int rc = cbcInit(&context->chain, cipher, cipherContext, kZero, n);
    if (rc != kCryptoOk)
        return rc;
    uint8_t r[kMaxCipherBlock];
    cipher->encrypt(cipherContext, kZero, r);
    doubleBlock(r, context->k1, n);
    doubleBlock(context->k1, context->k2, n);
    std::memset(r, 0, sizeof r);
    context->outputLength = outputLength;
    context->valid = true;
    return cmacReset(context);
}

int cmacReset(CmacContext *context)
{
    if (context == nullptr || !context->valid)
        return kCryptoNotReady;
    const int rc = cbcReset(&context->chain);
    if (rc != kCryptoOk) {
        context->valid = false;
        return rc;
    }
    context->bufferCount = 0;
    context->finalised = false;
    return kCryptoOk;
}

int cmacUpdate(CmacContext *context, const uint8_t *data, size_t length)
{
    if (!usable(context))
        return kCryptoNotReady;
    if (length == 0)
        return kCryptoOk;
    if (data == nullptr)
        return kCryptoInvalidArgument;
    const size_t n = context->chain.cipher->blockLength;
    if (context->bufferCount + length <= n) {
        std::memcpy(context->buffer + context->bufferCount, data, length);
        context->bufferCount += length;
        return kCryptoOk;
    }
    // More than a block in hand: complete and chain the buffer, then every whole block that
    // still has data after it. The last 1 to n bytes stay behind for final.
    const size_t fill = n - context->bufferCount;
    std::memcpy(context->buffer + context->bufferCount, data, fill);
    data += fill;
    length -= fill;
    int rc = chainBlocks(context, context->buffer, n);
    if (rc != kCryptoOk)
        return rc;
    const size_t whole = ((length - 1) / n) * n;
    rc = chainBlocks(context, data, whole);
    if (rc != kCryptoOk)
        return rc;
    data += whole;
    length -= whole;
    std::memcpy(context->buffer, data, length);
    context->bufferCount = length;
    return kCryptoOk;
}

int cmacFinal(CmacContext *context, uint8_t *output)
{
    if (!usable(context))
        return kCryptoNotReady;
    if (output == nullptr)
        return kCryptoInvalidArgument;
    const size_t n = context->chain.cipher->blockLength;
    const uint8_t *subkey = context->k1;
    if (context->bufferCount < n) {
        context->buffer[context->bufferCount] = 0x80;
        std::memset(context->buffer + context->bufferCount + 1, 0, n - context->bufferCount - 1);
        subkey = context->k2;
    }
    for (size_t i = 0; i < n; ++i)
        context->buffer[i] ^= subkey[i];
    uint8_t last[kMaxCipherBlock];
    const int rc = cbcEncrypt(&context->chain, context->buffer, last, n);
    if (rc != kCryptoOk) {
        context->valid = false;
        return rc;
    }
    std::memcpy(output, last, context->outputLength);
    context->finalised = true;
    return kCryptoOk;
}

const MacDescriptor kCmacDescriptor = {macReset, macUpdate, macFinal, sizeof(CmacContext)};
