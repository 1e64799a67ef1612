#include "crypto/Cfb.h"

#include <cstring>

namespace {

inline uint64_t load64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void store64(uint8_t *p, uint64_t v)
{
    std::memcpy(p, &v, 8);
}

bool ready(const CfbContext *context)
{
    return context != nullptr && context->valid && context->cipher != nullptr
        && context->cipher->encrypt != nullptr && context->cipherContext != nullptr;
}

// Drops the first s bytes of the register and appends the finished ciphertext segment.
void feedRegister(CfbContext *context, const uint8_t *segment)
{
    const size_t m = context->registerLength;
    const size_t s = context->segmentLength;
    std::memmove(context->shiftRegister, context->shiftRegister + s, m - s);
    std::memcpy(context->shiftRegister + m - s, segment, s);
}

// The general path: any m and s, and pieces that end inside a segment.
int process(CfbContext *context, const uint8_t *input, uint8_t *output, size_t length, bool decrypting)
{
    const CipherDescriptor *cipher = context->cipher;
    const size_t s = context->segmentLength;
    uint8_t keystream[kMaxCipherBlock];
    while (length > 0) {
        cipher->encrypt(context->cipherContext, context->shiftRegister, keystream);
        const size_t offset = context->partialCount;
        const size_t take = (s - offset < length) ? s - offset : length;
        for (size_t i = 0; i < take; ++i) {
            const uint8_t in = input[i];
            const uint8_t out = uint8_t(in ^ keystream[offset + i]);
            output[i] = out;
            context->partialSegment[offset + i] = decrypting ? in : out;
        }
        input += take;
        output += take;
        length -= take;
        context->partialCount += take;
        if (context->partialCount == s) {
            feedRegister(context, context->partialSegment);
            context->partialCount = 0;
        }
    }
    return kCryptoOk;
}

// m = s = one 8-byte block: each ciphertext block is the next register.
void encryptWhole64(CfbContext *context, const uint8_t *input, uint8_t *output, size_t blocks)
{
    const CipherDescriptor *cipher = context->cipher;
    const void *key = context->cipherContext;
    uint8_t *reg = context->shiftRegister;
    if (cipher->feedbackBlocks != nullptr) {
        cipher->feedbackBlocks(key, reg, input, output, blocks);
        return;
    }
    for (size_t i = 0; i < blocks; ++i) {
        uint8_t keystream[8];
        cipher->encrypt(key, reg, keystream);
        store64(reg, load64(input) ^ load64(keystream));
        store64(output, load64(reg));
        input += 8;
        output += 8;
    }
}

// In decryption every cipher input is known in advance (the register, then the received
// blocks), so the cipher can work on several blocks at once.
void decryptWhole64(CfbContext *context, const uint8_t *input, uint8_t *output, size_t blocks)
{
    const CipherDescriptor *cipher = context->cipher;
    const void *key = context->cipherContext;
    uint8_t *reg = context->shiftRegister;
    constexpr size_t kBatch = 8;
    uint8_t feed[8 * kBatch];
    uint8_t keystream[8 * kBatch];
    while (blocks > 0) {
        const size_t n = blocks < kBatch ? blocks : kBatch;
        std::memcpy(feed, reg, 8);
        std::memcpy(feed + 8, input, 8 * (n - 1));
        if (cipher->encryptBlocks != nullptr) {
            cipher->encryptBlocks(key, feed, keystream, n);
        } else {
            for (size_t i = 0; i < n; ++i)
                cipher->encrypt(key, feed + 8 * i, keystream + 8 * i);
        }
        std::memcpy(reg, input + 8 * (n - 1), 8);
        for (size_t i = 0; i < n; ++i)
            store64(output + 8 * i, load64(input + 8 * i) ^ load64(keystream + 8 * i));
        input += 8 * n;
        output += 8 * n;
        blocks -= n;
    }
}

int run(CfbContext *context, const uint8_t *input, uint8_t *output, size_t length, bool decrypting)
{
    if (!ready(context))
        return kCryptoNotReady;
    if (length == 0)
        return kCryptoOk;
    if (input == nullptr || output == nullptr)
        return kCryptoInvalidArgument;
    const bool fast = context->registerLength == 8 && context->segmentLength == 8
        && context->cipher->blockLength == 8;
    if (!fast || context->partialCount != 0 || length < 8)
        return process(context, input, output, length, decrypting);
    const size_t blocks = length / 8;
    if (decrypting)
        decryptWhole64(context, input, output, blocks);
    else
        encryptWhole64(context, input, output, blocks);
    const size_t done = blocks * 8;
    return process(context, input + done, output + done, length - done, decrypting);
}

int modeReset(void *context)
{
    return cfbReset(static_cast<CfbContext *>(context));
}

int modeEncrypt(void *context, const uint8_t *input, uint8_t *output, size_t length)
{
    return cfbEncrypt(static_cast<CfbContext *>(context), input, output, length);
}

int modeDecrypt(void *context, const uint8_t *input, uint8_t *output, size_t length)
{
    return cfbDecrypt(static_cast<CfbContext *>(context), input, output, length);
}

} // namespace

int cfbInit(CfbContext *context, const CipherDescriptor *cipher, const void *cipherContext,
            const uint8_t *initialValue, size_t registerLength, size_t segmentLength)
{
    if (context == nullptr)
        return kCryptoInvalidArgument;
    std::memset(context, 0, sizeof *context);
    if (cipher == nullptr || cipherContext == nullptr || cipher->encrypt == nullptr)
        return kCryptoNotReady;
    const size_t block = cipher->blockLength;
    if (block == 0 || block > kMaxCipherBlock)
        return kCryptoInvalidArgument;
    if (segmentLength == 0)
        segmentLength = block;
    if (registerLength < block || registerLength > kMaxModeRegister || segmentLength > block
        || segmentLength > registerLength || initialValue == nullptr)
        return kCryptoInvalidArgument;
    context->cipher = cipher;
    context->cipherContext = cipherContext;
    std::memcpy(context->initialValue, initialValue, registerLength);
    context->registerLength = registerLength;
    context->segmentLength = segmentLength;
    context->valid = true;
    return cfbReset(context);
}

int cfbReset(CfbContext *context)
{
    if (context == nullptr || !context->valid)
        return kCryptoNotReady;
    std::memcpy(context->shiftRegister, context->initialValue, context->registerLength);
    context->partialCount = 0;
    return kCryptoOk;
}

int cfbEncrypt(CfbContext *context, const uint8_t *input, uint8_t *output, size_t length)
{
    return run(context, input, output, length, false);
}

int cfbDecrypt(CfbContext *context, const uint8_t *input, uint8_t *output, size_t length)
{
    return run(context, input, output, length, true);
}

const ModeDescriptor kCfbDescriptor = {modeReset, modeEncrypt, modeDecrypt, sizeof(CfbContext)};
