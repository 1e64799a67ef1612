#include "AircraftPeer.h"

#include <cstring>

#include "RecordSealer.h"
#include "auth/Handshake.h"
#include "crypto/KeyDerivation.h"
#include "crypto/RecordLayer.h"

namespace {

LinkFrame emptyFrame(LinkFrameType type)
{
    LinkFrame f{};
    f.startMarker = kLinkFrameStartMarker;
    f.endMarker = kLinkFrameEndMarker;
    f.type = uint8_t(type);
    return f;
}

} // namespace

AircraftPeer::AircraftPeer(uint8_t seed)
{
    for (int i = 0; i < 32; ++i)
        random[i] = uint8_t(seed + 3 * i);
    for (int i = 0; i < 64; ++i)
        publicKey[i] = uint8_t(0x41 + i);
}

LinkFrame AircraftPeer::hello(uint16_t length) const
{
    LinkFrame f = emptyFrame(LinkFrameType::Hello);
    f.length = length;
    std::memcpy(f.payload, random, 32);
    std::memcpy(f.payload + 32, publicKey, 64);
    return f;
}

bool AircraftPeer::agree(const LinkFrame &groundHello, const uint8_t premaster[64])
{
    const uint8_t label[] = {'m', 'a', 's', 't', 'e', 'r', ' ', 's', 'e', 'c', 'r', 'e', 't'};
    uint8_t master[32];
    if (hmacPrf(premaster, 64, label, sizeof label, random, 32, groundHello.payload, 32, nullptr, 0, nullptr, 0,
                master, sizeof master)
        != 0)
        return false;
    state.installMasterSecret(master);
    return true;
}

LinkFrame AircraftPeer::record(LinkFrameType type, const uint8_t *plaintext, uint16_t length)
{
    LinkFrame f = emptyFrame(type);
    protectFrame(state, plaintext, length, f);
    return f;
}

LinkFrame AircraftPeer::finished()
{
    return record(LinkFrameType::Finished, kFinishedPlaintext, kFinishedPlaintextLength);
}

LinkFrame forgedFrame(LinkFrameType type, const uint8_t keyBlock[64], uint64_t sequence, uint32_t epoch,
                      const uint8_t *plaintext, uint16_t length)
{
    const SealedRecord sealed =
        sealRecord(Bytes(keyBlock, keyBlock + 64), sequence, epoch, Bytes(plaintext, plaintext + length));
    LinkFrame f = emptyFrame(type);
    f.length = length;
    std::memcpy(f.sequence, sealed.sequence, 8);
    std::memcpy(f.epoch, sealed.epoch, 4);
    std::memcpy(f.payload, sealed.ciphertext.data(), length);
    std::memcpy(f.mac, sealed.mac, 8);
    return f;
}

void fillGroundKeys(LinkSecurityState &ground)
{
    for (int i = 0; i < 64; ++i) {
        ground.ownPublicKey[i] = uint8_t(0x01 + i);
        ground.peerPublicKey[i] = uint8_t(0x41 + i);
        ground.premasterSecret[i] = uint8_t(0xA0 ^ i);
    }
}

bool GroundFixture::exchange(const LinkFrame &in, LinkFrame &reply)
{
    return handleHandshakeFrame(ground, in, authState) && buildHandshakeReply(ground, authState, reply);
}
