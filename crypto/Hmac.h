// HMAC (RFC 2104) over any hash reached through its descriptor; the system uses it with the
// 512-bit GOST R 34.11-2012 hash (RFC 7836). The caller owns both hash contexts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/Descriptors.h"

constexpr size_t kHmacMaxBlockLength = 64;

struct HmacContext {
    const HashDescriptor *descriptor;
    void *inner;  // hash context, owned by the caller
    void *outer;  // hash context, owned by the caller
    uint8_t keyBlock[kHmacMaxBlockLength];  // key zero-padded, or the digest of a longer key
    uint64_t outputLength;  // 1 to the digest length
    bool finalised;
    bool valid;
};

// outputLength 0 means the digest length; -22 when it exceeds it. The caller has initialised
// both hash contexts.
int hmacInit(HmacContext *context, const HashDescriptor *descriptor, void *inner, void *outer,
             const uint8_t *key, size_t keyLength, size_t outputLength);
int hmacReset(HmacContext *context);
int hmacUpdate(HmacContext *context, const uint8_t *data, size_t length);
// Writes outputLength bytes.
int hmacFinal(HmacContext *context, uint8_t *output);

extern const HmacDescriptor kHmacDescriptor;
