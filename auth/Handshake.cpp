#include "auth/Handshake.h"

#include <cerrno>
#include <cstring>

#include <sys/random.h>

#include "auth/LinkSecurityState.h"
#include "crypto/KeyDerivation.h"
#include "crypto/RecordLayer.h"

const uint8_t kFinishedPlaintext[kFinishedPlaintextLength] = {
    'a', 'u', 't', 'h', 'e', 'n', 't', 'i', 'c', 'a', 't', 'i',
    'o', 'n', ' ', 'f', 'i', 'n', 'i', 's', 'h', 'e', 'd', 0,
};

std::time_t lastReplyTime = 0;

namespace {

const uint8_t kMasterSecretLabel[] = {'m', 'a', 's', 't', 'e', 'r', ' ',
                                      's', 'e', 'c', 'r', 'e', 't'};
const uint8_t kNetworkIdLabel[] = {'n', 'e', 't', 'w', 'o', 'r', 'k', ' ', 'i', 'd', 0};
// 0x3C5A9E71 as it lies in memory on a little-endian machine.
const uint8_t kNetworkIdSeed[] = {0x71, 0x9E, 0x5A, 0x3C};

bool reject(int &authState)
{
    authState = 0;
    return false;
}

bool handleHello(LinkSecurityState &state, const LinkFrame &frame, int &authState)
{
    if (frame.length != kHelloPayloadLength)
        return reject(authState);
    // The random is taken before the key check: a hello with a foreign key still
    // replaces it, and that is harmless because no secret is derived from it.
    std::memcpy(state.peerRandom, frame.payload, 32);
    if (std::memcmp(frame.payload + 32, state.peerPublicKey, 64) != 0)
        return reject(authState);

    if (!fillHandshakeRandom(state.ownRandom))
        return reject(authState);
    uint8_t masterSecret[32];
    const int rc = hmacPrf(state.premasterSecret, sizeof state.premasterSecret,
                           kMasterSecretLabel, sizeof kMasterSecretLabel,
                           state.peerRandom, sizeof state.peerRandom,
                           state.ownRandom, sizeof state.ownRandom,
                           nullptr, 0, nullptr, 0, masterSecret, sizeof masterSecret);
    if (rc != 0)
        return reject(authState);
    state.installMasterSecret(masterSecret);
    std::memset(masterSecret, 0, sizeof masterSecret);
    authState = 1;
    return true;
}

bool handleFinished(LinkSecurityState &state, const LinkFrame &frame, int &authState)
{
    // Without a master secret there is no key to check the record under.
    if (!state.masterSecretInstalled())
        return reject(authState);
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t length = 0;
    if (!unprotectFrame(state, frame, plaintext, &length))
        return reject(authState);
    if (length < kFinishedPlaintextLength
        || std::memcmp(plaintext, kFinishedPlaintext, kFinishedPlaintextLength) != 0)
        return reject(authState);
    authState = 2;
    return true;
}

} // namespace

bool handleHandshakeFrame(LinkSecurityState &state, const LinkFrame &frame, int &authState)
{
    switch (static_cast<LinkFrameType>(frame.type)) {
    case LinkFrameType::Hello:
        return handleHello(state, frame, authState);
    case LinkFrameType::Finished:
        return handleFinished(state, frame, authState);
    case LinkFrameType::Data:
        break;
    }
    return false;
}

bool buildHandshakeReply(LinkSecurityState &state, int authState, LinkFrame &reply)
{
    std::memset(&reply, 0, sizeof reply);
    reply.startMarker = kLinkFrameStartMarker;
    reply.endMarker = kLinkFrameEndMarker;
    switch (authState) {
    case 0:
    case 1:
        reply.type = static_cast<uint8_t>(LinkFrameType::Hello);
        reply.length = kHelloPayloadLength;
        std::memcpy(reply.payload, state.ownRandom, 32);
        std::memcpy(reply.payload + 32, state.ownPublicKey, 64);
        return true;
    case 2:
        reply.type = static_cast<uint8_t>(LinkFrameType::Finished);
        return protectFrame(state, kFinishedPlaintext, kFinishedPlaintextLength, reply);
    default:
        return false;
    }
}

uint8_t deriveNetworkId(LinkSecurityState &state)
{
    uint8_t netId = 0;
    cmacPrf(state, kNetworkIdLabel, sizeof kNetworkIdLabel, kNetworkIdSeed,
            sizeof kNetworkIdSeed, &netId, 1);
    return netId;
}

bool fillHandshakeRandom(uint8_t out[32])
{
    size_t filled = 0;
    while (filled < 32) {
        const ssize_t n = getrandom(out + filled, 32 - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::memset(out, 0, 32);
            return false;
        }
        filled += size_t(n);
    }
    return true;
}
