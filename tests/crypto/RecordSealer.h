// Builds records by hand from the definitions (key block = the MAC chaining over a separately
// keyed MAC, CFB from the fixed initial value, MAC over sequence || epoch || ciphertext), so
// tests can forge, replay and reorder records the sender would never produce.
#pragma once

#include <cstdint>

#include "VectorFile.h"
#include "auth/LinkSecurityState.h"

struct SealedRecord {
    uint8_t sequence[8];
    uint8_t epoch[4];
    Bytes ciphertext;
    uint8_t mac[8];
};

// The first length bytes of T(1) || T(2) || ..., T(i) = MAC(A(i) || labelSeed), A(1) =
// MAC(labelSeed), A(i+1) = MAC(A(i)), with the Magma MAC keyed by secret.
Bytes macChain(const uint8_t secret[32], const Bytes &labelSeed, size_t length);
// The 64-byte key block of an epoch under a master secret.
Bytes keyBlockFor(const uint8_t secret[32], uint32_t epoch);
SealedRecord sealRecord(const Bytes &keyBlock, uint64_t sequence, uint32_t epoch, const Bytes &plaintext);

// "sendSequence receiveSequence sendEpoch receiveEpoch sendEpochBytes receiveEpochBytes"
inline std::string countersOf(const LinkSecurityState &s)
{
    std::string out;
    for (uint64_t v : {s.sendSequence, s.receiveSequence, uint64_t(s.sendEpoch), uint64_t(s.receiveEpoch),
                       s.sendEpochBytes, s.receiveEpochBytes})
        out += (out.empty() ? "" : " ") + std::to_string(v);
    return out;
}
