// The one process-wide record of the link's key material and record counters. Reached only
// through instance(); no lock: the authentication thread and then the encryptor thread use it,
// never both at once (the thread hand-over orders them).
#pragma once

#include <cstdint>

#include "crypto/Cmac.h"
#include "crypto/Magma.h"

struct LinkSecurityState {
    // Zero-initialised static storage: no constructor runs, so first use from two threads
    // cannot race. Never destroyed before the process ends.
    static LinkSecurityState &instance();

    // Resets the six counters (both byte counters to 102400, so the first record opens epoch 1),
    // keys masterCipher with the secret and sets up derivationMac over it. The record layer's
    // key blocks of the previous secret are dropped.
    void installMasterSecret(const uint8_t secret[32]);
    // False until the first installMasterSecret on this object, and again after wipeKeys.
    bool masterSecretInstalled() const;
    // Erases the premaster and master secrets, the contexts keyed from them, the randoms and
    // the record layer's key blocks, and moves past the records remembered as sent. Nothing is
    // protected or accepted afterwards until a key loading and a handshake install a new
    // secret. The one instance is wiped this way when the encryptor stops and when the
    // process exits.
    void wipeKeys();

    LinkSecurityState() = default;
    LinkSecurityState(const LinkSecurityState &) = delete;
    LinkSecurityState &operator=(const LinkSecurityState &) = delete;

    uint8_t masterSecret[32];
    MagmaContext masterCipher;
    CmacContext derivationMac;  // 8-byte output over masterCipher; cmacPrf only resets it
    uint64_t sendSequence;      // last sequence number protected
    uint64_t receiveSequence;   // last sequence number accepted
    uint64_t sendEpochBytes;
    uint64_t receiveEpochBytes;
    uint32_t sendEpoch;
    uint32_t receiveEpoch;
    uint8_t ownRandom[32];
    uint8_t peerRandom[32];
    uint8_t peerPublicKey[64];
    uint8_t ownPublicKey[64];
    uint8_t premasterSecret[64];
    // Counts installMasterSecret and wipeKeys calls: the record layer's memory of records sent
    // is kept per secret.
    uint32_t secretSerial;
};
