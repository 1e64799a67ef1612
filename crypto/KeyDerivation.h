// The two pseudo-random functions of the link, both in the form of the TLS 1.2 P_hash
// (RFC 5246 section 5):
//  - hmacPrf over HMAC with the 512-bit GOST R 34.11-2012 hash (RFC 7836): the master secret;
//  - cmacPrf over the 8-byte GOST R 34.13-2015 MAC keyed with the master secret (the state's
//    derivationMac): per-epoch key blocks and the network identifier.
// Neither is re-entrant: their work areas exist once per process.
#pragma once

#include <cstddef>
#include <cstdint>

struct LinkSecurityState;

// P_hash(key, seed) cut to outputLength bytes, seed = the present pieces in order (a null piece
// is skipped). 0, or -1 on any failure. The key-dependent scratch area is wiped before every
// return.
int hmacPrf(const uint8_t *key, size_t keyLength,
            const uint8_t *piece1, size_t length1, const uint8_t *piece2, size_t length2,
            const uint8_t *piece3, size_t length3, const uint8_t *piece4, size_t length4,
            const uint8_t *piece5, size_t length5, uint8_t *output, size_t outputLength);

// T(1) || T(2) || ... cut to outputLength, T(i) = MAC(A(i) || label || seed), A(1) = MAC(label ||
// seed), A(i+1) = MAC(A(i)). Returns 0, or -9 when derivationMac was never set up (no master
// secret installed), and then writes nothing: no key may come out of a MAC without a key.
int cmacPrf(LinkSecurityState &state, const uint8_t *label, size_t labelLength,
            const uint8_t *seed, size_t seedLength, uint8_t *output, size_t outputLength);

// For tests: the hmacPrf scratch area, to show that it holds only zeros between calls.
const uint8_t *hmacPrfScratchForTest(size_t *size);
