// The MAC of GOST R 34.13-2015 (equal to OMAC1/CMAC) over any block cipher, on the chaining
// with an all-zero one-block initial value. Subkeys are computed once per init, so a context
// serves many messages through reset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/Cbc.h"
#include "crypto/Descriptors.h"

struct CmacContext {
    CbcContext chain;
    uint8_t k1[kMaxCipherBlock];
    uint8_t k2[kMaxCipherBlock];
    uint8_t buffer[kMaxCipherBlock];
    size_t bufferCount;   // 0 to the block length: a full block waits until more data shows
    size_t outputLength;  // 1 to the block length
    bool finalised;
    bool valid;
};

// outputLength 0 means the block length. -22 when it exceeds the block length or the cipher
// has no encrypt; -9 when the descriptor or cipher context is missing.
int cmacInit(CmacContext *context, const CipherDescriptor *cipher, const void *cipherContext,
             size_t outputLength);
int cmacReset(CmacContext *context);
int cmacUpdate(CmacContext *context, const uint8_t *data, size_t length);
// Writes outputLength bytes.
int cmacFinal(CmacContext *context, uint8_t *output);

extern const MacDescriptor kCmacDescriptor;
