// Cipher feedback mode of GOST R 34.13-2015 with register length m (block length to 64 bytes)
// and segment length s (1 to the block length). Streams across calls: any split of the input
// gives the same output as one call over all of it. No key meshing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/Descriptors.h"

struct CfbContext {
    const CipherDescriptor *cipher;  // not owned
    const void *cipherContext;       // not owned; keyed by the caller
    uint8_t initialValue[kMaxModeRegister];
    uint8_t shiftRegister[kMaxModeRegister];
    size_t registerLength;  // m
    size_t segmentLength;   // s
    // Ciphertext bytes of the unfinished segment (they enter the register once it completes).
    uint8_t partialSegment[kMaxCipherBlock];
    size_t partialCount;
    bool valid;
};

// s = 0 means the block length. -22 when m is outside [block length, 64] or s exceeds the
// block length; -9 when the descriptor or cipher context is missing.
int cfbInit(CfbContext *context, const CipherDescriptor *cipher, const void *cipherContext,
            const uint8_t *initialValue, size_t registerLength, size_t segmentLength);
int cfbReset(CfbContext *context);
int cfbEncrypt(CfbContext *context, const uint8_t *input, uint8_t *output, size_t length);
int cfbDecrypt(CfbContext *context, const uint8_t *input, uint8_t *output, size_t length);

extern const ModeDescriptor kCfbDescriptor;
