// The protected record layer: encrypt-then-MAC of one payload per record with Magma in cipher
// feedback (m = s = 8, the same initial value for every record) and the 8-byte MAC over
// sequence number || epoch || ciphertext. A new 64-byte key block (cmacPrf over the master
// secret) every 102400 payload bytes; replay rejection by sequence number and epoch.
// Key blocks and working contexts exist once per process, beside the LinkSecurityState: not
// re-entrant, one thread at a time. Nothing is allocated per record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "messaging/LinkFrame.h"

struct LinkSecurityState;

constexpr uint64_t kEpochByteLimit = 102400;
extern const uint8_t kRecordInitialValue[8];

// Protects length bytes (1 or more) into ciphertextOut (length bytes), the big-endian sequence
// number and epoch and the MAC. Returns 0; -22 for an empty payload or missing buffers; -9 when
// no key block can be derived (no master secret installed): then nothing is written and no
// counter moves.
int protectRecord(LinkSecurityState &state, const uint8_t *plaintext, uint64_t length, uint8_t *ciphertextOut,
                  uint64_t *lengthOut, uint8_t sequenceOut[8], uint8_t epochOut[4], uint8_t macOut[8]);

// Checks and deciphers one record. 0 accepted (plaintext and length written); -1 empty;
// -2 replay (sequence not above the last accepted, or epoch below the current one);
// -3 MAC mismatch, epoch 0, or no master secret; -4 more than 102400 bytes already accepted in
// this epoch (only receiveSequence moves); -5 reflected: a record that verifies but is one that
// protectFrame made as Data on this state (same sequence, epoch and MAC). Only 0 and -4 change
// the state.
// The MAC comparison takes the same time whatever bytes differ.
int unprotectRecord(LinkSecurityState &state, const uint8_t *ciphertext, uint64_t length, const uint8_t sequence[8],
                    const uint8_t epoch[4], const uint8_t mac[8], uint8_t *plaintextOut, uint64_t *lengthOut);

// Fills the frame's payload, length, sequence, epoch and MAC; markers and type are the caller's,
// and the type is set first: a Data record is remembered so that it is refused (-5) if it is
// ever received on this state. False for an empty payload, one over 512 bytes, or when
// protectRecord fails.
bool protectFrame(LinkSecurityState &state, const uint8_t *plaintext, uint16_t length, LinkFrame &frame);
// plaintextOut has room for frame.length bytes. False (lengthOut untouched) for any rejection;
// result, when given, receives unprotectRecord's code (-22 for a frame it was not given).
bool unprotectFrame(LinkSecurityState &state, const LinkFrame &frame, uint8_t *plaintextOut, uint16_t *lengthOut,
                    int *result = nullptr);

// Forgets both directions' key blocks; installMasterSecret calls it so that no record is ever
// checked or protected under a key block of an earlier secret.
void discardRecordKeys();
