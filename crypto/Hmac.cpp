#include "crypto/Hmac.h"

#include <cstring>

#include "crypto/Wipe.h"

namespace {

constexpr size_t kMaxDigest = 64;

bool wired(const HmacContext *context)
{
    return context != nullptr && context->valid && context->descriptor != nullptr
        && context->inner != nullptr && context->outer != nullptr;
}

int fail(HmacContext *context, int rc)
{
    context->valid = false;
    return rc;
}

int absorbPad(const HashDescriptor *hash, void *state, const uint8_t *keyBlock, uint8_t pad)
{
    uint8_t buffer[kHmacMaxBlockLength];
    const size_t block = hash->blockLength;
    for (size_t i = 0; i < block; ++i)
        buffer[i] = uint8_t(keyBlock[i] ^ pad);
    int rc = hash->init(state);
    if (rc == kCryptoOk)
        rc = hash->update(state, buffer, block);
    secureWipe(buffer, sizeof buffer);
    return rc;
}

int descriptorReset(void *context)
{
    return hmacReset(static_cast<HmacContext *>(context));
}

int descriptorUpdate(void *context, const uint8_t *data, size_t length)
{
    return hmacUpdate(static_cast<HmacContext *>(context), data, length);
}

int descriptorFinal(void *context, uint8_t *output)
{
    return hmacFinal(static_cast<HmacContext *>(context), output);
}

} // namespace

int hmacInit(HmacContext *context, const HashDescriptor *descriptor, void *inner, void *outer,
             const uint8_t *key, size_t keyLength, size_t outputLength)
{
    if (context == nullptr)
        return kCryptoInvalidArgument;
    secureWipe(context, sizeof *context);
    if (descriptor == nullptr || inner == nullptr || outer == nullptr || descriptor->init == nullptr
        || descriptor->update == nullptr || descriptor->final == nullptr)
        return kCryptoNotReady;
    const size_t block = descriptor->blockLength;
    const size_t digest = descriptor->digestLength;
    if (block == 0 || block > kHmacMaxBlockLength || digest == 0 || digest > kMaxDigest || digest > block)
        return kCryptoInvalidArgument;
    if (outputLength == 0)
        outputLength = digest;
    if (outputLength > digest || (key == nullptr && keyLength != 0))
        return kCryptoInvalidArgument;
    context->descriptor = descriptor;
    context->inner = inner;
    context->outer = outer;
    context->outputLength = outputLength;
    if (keyLength > block) {
        int rc = descriptor->update(inner, key, keyLength);
        if (rc == kCryptoOk)
            rc = descriptor->final(inner, context->keyBlock);
        if (rc != kCryptoOk)
            return rc;
    } else if (keyLength != 0) {
        std::memcpy(context->keyBlock, key, keyLength);
    }
    context->valid = true;
    const int rc = hmacReset(context);
    if (rc != kCryptoOk)
        return fail(context, rc);
    return kCryptoOk;
}

int hmacReset(HmacContext *context)
{
    if (!wired(context))
        return kCryptoNotReady;
    int rc = absorbPad(context->descriptor, context->inner, context->keyBlock, 0x36);
    if (rc == kCryptoOk)
        rc = absorbPad(context->descriptor, context->outer, context->keyBlock, 0x5C);
    if (rc != kCryptoOk)
        return fail(context, rc);
    context->finalised = false;
    return kCryptoOk;
}

int hmacUpdate(HmacContext *context, const uint8_t *data, size_t length)
{
    if (!wired(context) || context->finalised)
        return kCryptoNotReady;
    const int rc = context->descriptor->update(context->inner, data, length);
    if (rc != kCryptoOk)
        return fail(context, rc);
    return kCryptoOk;
}

int hmacFinal(HmacContext *context, uint8_t *output)
{
    if (!wired(context) || context->finalised)
        return kCryptoNotReady;
    if (output == nullptr)
        return kCryptoInvalidArgument;
    const HashDescriptor *hash = context->descriptor;
    uint8_t digest[kMaxDigest];
    int rc = hash->final(context->inner, digest);
    if (rc == kCryptoOk)
        rc = hash->update(context->outer, digest, hash->digestLength);
    if (rc == kCryptoOk)
        rc = hash->final(context->outer, digest);
    if (rc == kCryptoOk)
        std::memcpy(output, digest, context->outputLength);
    secureWipe(digest, sizeof digest);
    if (rc != kCryptoOk)
        return fail(context, rc);
    context->finalised = true;
    return kCryptoOk;
}

const HmacDescriptor kHmacDescriptor = {descriptorReset, descriptorUpdate, descriptorFinal, sizeof(HmacContext)};
