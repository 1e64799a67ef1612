// Builds records by hand from the definitions (key block = cmacPrf chaining over a separately
// keyed MAC, CFB from the fixed initial value, MAC over sequence || epoch || ciphertext), so
// tests can forge, replay and reorder records the sender would never produce.
#pragma once

#include <cstdint>

#include "VectorFile.h"

struct SealedRecord {
    uint8_t sequence[8];
    uint8_t epoch[4];
    Bytes ciphertext;
    uint8_t mac[8];
};

// The 64-byte key block of an epoch under a master secret.
Bytes keyBlockFor(const uint8_t secret[32], uint32_t epoch);
SealedRecord sealRecord(const Bytes &keyBlock, uint64_t sequence, uint32_t epoch, const Bytes &plaintext);
