// Records sealed the way a peer that knows only the public keys could seal them: under an
// all-zero key block, as the key block of an epoch that was never derived would be.
#pragma once

#include <cstdint>

#include "messaging/LinkFrame.h"

// Fills frame (markers, type, length, sequence, epoch, payload, mac) with plaintext
// enciphered in Magma-CFB (m = s = 8) under an all-zero key and MACed under an all-zero key
// over sequence || epoch || ciphertext, both big-endian as on the wire. length 1..512.
void sealUnderZeroKeys(LinkFrameType type, uint64_t sequence, uint32_t epoch,
                       const uint8_t *plaintext, uint16_t length, LinkFrame &frame);
