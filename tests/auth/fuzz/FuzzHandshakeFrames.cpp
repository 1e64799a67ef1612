// The ground's handshake on arbitrary modem bytes, as the authentication loop runs it, with a
// link already up under a fixed secret. The input is a little program: raw bytes, a hello with
// the expected key, a finished sealed by the aircraft under the ground's current secret, or a
// copy of an earlier piece. Nothing may crash; every accepted message is answered with a frame
// the aircraft can use; no finished is accepted more often than the aircraft sealed one.
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrameParser.h"
#include "tests/messaging/fuzz/FuzzInput.h"

namespace {

uint64_t randomState;

} // namespace

// The system's generator replaced for this program alone, so that every input runs the same way
// (restarted per input). Its values never repeat within an input: a repeated own random would
// bring back an earlier master secret and, with it, that secret's finished.
extern "C" ssize_t getrandom(void *buffer, size_t length, unsigned int)
{
    for (size_t i = 0; i < length; ++i) {
        uint64_t z = randomState += 0x9e3779b97f4a7c15ull;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        static_cast<uint8_t *>(buffer)[i] = uint8_t(z ^ (z >> 31));
    }
    return ssize_t(length);
}

namespace {

LinkFrame frameOf(LinkFrameType type)
{
    LinkFrame f{};
    f.startMarker = kLinkFrameStartMarker;
    f.endMarker = kLinkFrameEndMarker;
    f.type = uint8_t(type);
    return f;
}

constexpr int kMaxPieces = 16;
uint8_t pieces[kMaxPieces][kLinkFrameMaxSize];
uint16_t pieceSizes[kMaxPieces];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const uint8_t kSecret[32] = {0x52, 0x0e, 0xa1, 0x3c, 0x97, 0x44, 0xd8, 0x0b, 0x6f, 0x21, 0xe5,
                                        0x7a, 0x30, 0xc9, 0x15, 0x8e, 0xf2, 0x49, 0x63, 0xbd, 0x04, 0x7c,
                                        0x9b, 0x26, 0xd1, 0x58, 0xaf, 0x12, 0xe7, 0x3d, 0x80, 0x6a};
    randomState = 0;
    LinkSecurityState &ground = LinkSecurityState::instance();
    for (int i = 0; i < 64; ++i) {
        ground.peerPublicKey[i] = uint8_t(0x41 + i);
        ground.ownPublicKey[i] = uint8_t(0x81 + i);
        ground.premasterSecret[i] = uint8_t(7 * i);
    }
    ground.installMasterSecret(kSecret);
    static LinkSecurityState aircraft;
    aircraft.installMasterSecret(kSecret);
    uint32_t aircraftSerial = ground.secretSerial;

    LinkFrameParser parser;
    LinkFrame frame, reply;
    int authState = 0, pieceCount = 0, sealedFinished = 0, acceptedFinished = 0, hellos = 0;
    FuzzInput in{data, size};
    while (!in.empty()) {
        uint8_t bytes[kLinkFrameMaxSize];
        uint16_t count = 0;
        const uint8_t op = in.byte();
        switch (op % 4) {
        case 0:  // raw bytes
            count = in.byte() % 64;
            for (uint16_t i = 0; i < count; ++i)
                bytes[i] = in.byte();
            break;
        case 1: {  // a hello with the expected key and a random from the input
            // Each accepted hello costs a hash-based derivation; a few per input are enough.
            if (++hellos > 3)
                break;
            LinkFrame hello = frameOf(LinkFrameType::Hello);
            hello.length = kHelloPayloadLength;
            for (int i = 0; i < 32; ++i)
                hello.payload[i] = in.byte();
            std::memcpy(hello.payload + 32, ground.peerPublicKey, 64);
            count = writeLinkFrame(hello, bytes);
            break;
        }
        case 2: {  // the aircraft's finished under the secret the ground holds now
            if (aircraftSerial != ground.secretSerial) {
                aircraft.installMasterSecret(ground.masterSecret);
                aircraftSerial = ground.secretSerial;
            }
            LinkFrame finished = frameOf(LinkFrameType::Finished);
            check(protectFrame(aircraft, kFinishedPlaintext, kFinishedPlaintextLength, finished));
            count = writeLinkFrame(finished, bytes);
            ++sealedFinished;
            break;
        }
        default:  // an earlier piece again
            if (pieceCount > 0) {
                const int k = in.byte() % pieceCount;
                count = pieceSizes[k];
                std::memcpy(bytes, pieces[k], count);
            }
            break;
        }
        if (pieceCount < kMaxPieces && count > 0) {
            std::memcpy(pieces[pieceCount], bytes, count);
            pieceSizes[pieceCount++] = count;
        }

        for (uint16_t i = 0; i < count; ++i) {
            if (!parser.parseByte(bytes[i], frame))
                continue;
            const bool accepted = handleHandshakeFrame(ground, frame, authState);
            check(authState >= 0 && authState <= 2);
            if (!accepted)
                continue;
            check(buildHandshakeReply(ground, authState, reply));
            uint8_t wire[kLinkFrameMaxSize];
            check(writeLinkFrame(reply, wire) == reply.length + kLinkFrameOverhead);
            if (authState == 1) {
                check(reply.type == uint8_t(LinkFrameType::Hello) && reply.length == kHelloPayloadLength);
                continue;
            }
            // The aircraft, holding the same secret, opens the ground's finished.
            ++acceptedFinished;
            check(acceptedFinished <= sealedFinished);
            uint8_t plain[kLinkFrameMaxPayload];
            uint16_t length = 0;
            check(aircraftSerial == ground.secretSerial && unprotectFrame(aircraft, reply, plain, &length)
                  && length == kFinishedPlaintextLength
                  && std::memcmp(plain, kFinishedPlaintext, kFinishedPlaintextLength) == 0);
        }
    }
    return 0;
}
