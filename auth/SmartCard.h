// Key loading from the ground station's smart card over PC/SC: the two public keys and the
// premaster secret the card computes with its private key. Runs in the authentication thread;
// every attempt opens and releases its own resource-manager context.
#pragma once

#include <cstddef>
#include <cstdint>

#include <winscard.h>

// One command-response exchange over T=0. Sends CLA INS P1 P2, then Lc and the data when lc is
// not 0, otherwise Le when le is not 0. Up to le response data bytes go to response (which must
// hold le bytes). Returns the status word SW1 * 256 + SW2, or -1 if the exchange failed.
int transmitApdu(SCARDHANDLE card, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                 const uint8_t *data, uint8_t lc, uint8_t *response, uint8_t le);

// Reads public key keyId (1 = this station, 2 = the aircraft) into destination, at most length
// bytes. Returns 0, or the failing status word (-1 for a failed exchange).
int readPublicKey(SCARDHANDLE card, uint8_t keyId, uint8_t *destination, size_t length);

// Has the card derive the premaster secret from private key keyId and the peer's 64-byte public
// key. Returns 0, or the failing status word (-1 for a failed exchange).
int computePremaster(SCARDHANDLE card, uint8_t keyId, const uint8_t *peerPublicKey, size_t peerLength,
                     uint8_t *destination, size_t length);

// One attempt of the whole sequence; fills the three 64-byte fields one after the other.
bool loadKeysFromCard(uint8_t ownPublicKey[64], uint8_t peerPublicKey[64], uint8_t premasterSecret[64]);
