#include "crypto/Cbc.h"

#include <cstring>

namespace {

bool ready(const CbcContext *context)
{
    return context != nullptr && context->valid && context->cipher != nullptr
        && context->cipherContext != nullptr;
}

void shiftIn(CbcContext *context, const uint8_t *block, size_t n)
{
    const size_t m = context->registerLength;
    if (m > n)
        std::memmove(context->shiftRegister, context->shiftRegister + n, m - n);
    std::memcpy(context->shiftRegister + m - n, block, n);
}

int modeReset(void *context)
{
    return cbcReset(static_cast<CbcContext *>(context));
}

int modeEncrypt(void *context, const uint8_t *input, uint8_t *output, size_t length)
{
    return cbcEncrypt(static_cast<CbcContext *>(context), input, output, length);
}

int modeDecrypt(void *context, const uint8_t *input, uint8_t *output, size_t length)
{
    return cbcDecrypt(static_cast<CbcContext *>(context), input, output, length);
}

} // namespace

int cbcInit(CbcContext *context, const CipherDescriptor *cipher, const void *cipherContext,
            const uint8_t *initialValue, size_t registerLength)
{
    if (context == nullptr)
        return kCryptoInvalidArgument;
    context->valid = false;
    if (cipher == nullptr || cipherContext == nullptr)
        return kCryptoNotReady;
    const size_t block = cipher->blockLength;
    if (block == 0 || block > kMaxCipherBlock || registerLength == 0 || registerLength % block != 0
        || registerLength > kMaxModeRegister || initialValue == nullptr)
        return kCryptoInvalidArgument;
    context->cipher = cipher;
    context->cipherContext = cipherContext;
    std::memcpy(context->initialValue, initialValue, registerLength);
    context->registerLength = registerLength;
    context->valid = true;
    return cbcReset(context);
}

int cbcReset(CbcContext *context)
{
    if (context == nullptr || !context->valid)
        return kCryptoNotReady;
    std::memcpy(context->shiftRegister, context->initialValue, context->registerLength);
    return kCryptoOk;
}

int cbcEncrypt(CbcContext *context, const uint8_t *input, uint8_t *output, size_t length)
{
    if (!ready(context) || context->cipher->encrypt == nullptr)
        return kCryptoNotReady;
    const size_t n = context->cipher->blockLength;
    if (length % n != 0 || (length != 0 && (input == nullptr || output == nullptr)))
        return kCryptoInvalidArgument;
    if (n == context->registerLength && context->cipher->chainBlocks != nullptr) {
        context->cipher->chainBlocks(context->cipherContext, context->shiftRegister, input, output, length / n);
        return kCryptoOk;
    }
    if (n == 8 && context->registerLength == 8) {
        // The MAC's case: the register is the previous output block.
        uint64_t chain;
        std::memcpy(&chain, context->shiftRegister, 8);
        for (size_t offset = 0; offset < length; offset += 8) {
            uint64_t block;
            std::memcpy(&block, input + offset, 8);
            block ^= chain;
            context->cipher->encrypt(context->cipherContext, reinterpret_cast<const uint8_t *>(&block), output + offset);
            std::memcpy(&chain, output + offset, 8);
        }
        std::memcpy(context->shiftRegister, &chain, 8);
        return kCryptoOk;
    }
    uint8_t block[kMaxCipherBlock];
    for (size_t offset = 0; offset < length; offset += n) {
        for (size_t i = 0; i < n; ++i)
            block[i] = uint8_t(input[offset + i] ^ context->shiftRegister[i]);
        context->cipher->encrypt(context->cipherContext, block, output + offset);
        shiftIn(context, output + offset, n);
    }
    return kCryptoOk;
}

int cbcDecrypt(CbcContext *context, const uint8_t *input, uint8_t *output, size_t length)
{
    if (!ready(context) || context->cipher->decrypt == nullptr)
        return kCryptoNotReady;
    const size_t n = context->cipher->blockLength;
    if (length % n != 0 || (length != 0 && (input == nullptr || output == nullptr)))
        return kCryptoInvalidArgument;
    uint8_t received[kMaxCipherBlock];
    uint8_t plain[kMaxCipherBlock];
    for (size_t offset = 0; offset < length; offset += n) {
        std::memcpy(received, input + offset, n);
        context->cipher->decrypt(context->cipherContext, received, plain);
        for (size_t i = 0; i < n; ++i)
            output[offset + i] = uint8_t(plain[i] ^ context->shiftRegister[i]);
        shiftIn(context, received, n);
    }
    return kCryptoOk;
}

const ModeDescriptor kCbcDescriptor = {modeReset, modeEncrypt, modeDecrypt, sizeof(CbcContext)};
