// Block chaining of GOST R 34.13-2015 with a register of m bytes (a non-zero multiple of the
// block length, at most 64). The MAC runs on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/Descriptors.h"

struct CbcContext {
    const CipherDescriptor *cipher;  // not owned
    const void *cipherContext;       // not owned; keyed by the caller
    uint8_t initialValue[kMaxModeRegister];
    uint8_t shiftRegister[kMaxModeRegister];
    size_t registerLength;  // m
    bool valid;
};

int cbcInit(CbcContext *context, const CipherDescriptor *cipher, const void *cipherContext,
            const uint8_t *initialValue, size_t registerLength);
int cbcReset(CbcContext *context);
// length must be a multiple of the block length (-22 otherwise). output may be input.
int cbcEncrypt(CbcContext *context, const uint8_t *input, uint8_t *output, size_t length);
int cbcDecrypt(CbcContext *context, const uint8_t *input, uint8_t *output, size_t length);

extern const ModeDescriptor kCbcDescriptor;
