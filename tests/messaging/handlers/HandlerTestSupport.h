// What the handler tests share: MAVLink frames built by hand, LinkFrames on the wire, and
// putting the process-wide link state back to a known start between tests.
#pragma once

#include <QByteArray>

#include "messaging/LinkFrame.h"
#include "tests/messaging/FramingTestUtil.h"

class MessageHandler;

namespace handlers_test {

inline QByteArray fixture(const char *hex)
{
    return QByteArray::fromHex(hex);
}

struct FrameFields {
    bool versionOne = false;
    uint8_t incompatFlags = 0, compatFlags = 0, seq = 0, sysid = 1, compid = 1;
    uint32_t msgid = 0;
    QByteArray payload;
    QByteArray signature;  // appended when bit 0 of incompatFlags is set
};

// Wire bytes of a frame with its payload exactly as given and a checksum seeded with crcExtra.
QByteArray buildFrame(const FrameFields &fields, uint8_t crcExtra);

// What the relay writes for a frame that parsed: version 1 unchanged; version 2 with the
// trailing zero payload bytes cut (one byte stays) and the checksum taken over what remains.
QByteArray relayedForm(const FrameFields &fields, uint8_t crcExtra);

// Index of the byte at which the parser gives up on a frame meant to be dropped. From there on
// it reads stream bytes again, so a 0xFD or 0xFE after it would open a phantom frame that
// swallows whatever follows.
enum class Drop { BadChecksum, UnknownIncompatFlag, SignedGoodChecksum, SignedBadChecksum };
int dropIndex(const QByteArray &frame, Drop kind);
bool noStartByteFrom(const QByteArray &frame, int index);

// A fresh master secret on the one security state and on the aircraft's end (counters reset),
// both MAVLink channels idle and the LinkFrame parser waiting for a start byte.
void resetLink();

// Another master secret at the aircraft's end only, until the next resetLink.
void installAircraftSecret(const Bytes &secret);

// Hands a chunk to a handler's private dataArrived slot the way a queued connection does.
void deliver(MessageHandler &handler, const QByteArray &chunk);

// A record sealed by the aircraft's end, as wire bytes.
QByteArray sealRecord(const QByteArray &plaintext, uint8_t type = 0);

// True when bytes are exactly one LinkFrame, which is then in frame.
bool readWireFrame(const QByteArray &bytes, LinkFrame &frame);

// Checks and decrypts one LinkFrame at the aircraft's end; empty when it fails.
QByteArray openRecord(const QByteArray &wireBytes);

} // namespace handlers_test
