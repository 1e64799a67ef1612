// The aircraft handshake, ground side: check and answer hello and finished messages,
// install the master secret, derive the network identifier.
// Plain functions over the process-wide security state; no Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "messaging/LinkFrame.h"

struct LinkSecurityState;

constexpr uint16_t kHelloPayloadLength = 96;
// "authentication finished" and its terminating zero byte.
constexpr size_t kFinishedPlaintextLength = 24;
extern const uint8_t kFinishedPlaintext[kFinishedPlaintextLength];

// Examines one complete frame from the aircraft. Returns true when it was a hello or a
// finished and was accepted; authState becomes 1 or 2, or 0 on a rejected one.
bool handleHandshakeFrame(LinkSecurityState &state, const LinkFrame &frame, int &authState);

// Fills reply with the answer to the message that set authState. False when there is none.
bool buildHandshakeReply(LinkSecurityState &state, int authState, LinkFrame &reply);

// The one-byte network identifier of the current master secret.
uint8_t deriveNetworkId(LinkSecurityState &state);

// 32 bytes from the operating system's generator (getrandom). False when it cannot deliver
// them; then out holds nothing usable and no handshake may go on.
bool fillHandshakeRandom(uint8_t out[32]);

// Calendar time, in whole seconds, of the last handshake reply sent by this process.
extern std::time_t lastReplyTime;
