// What the handler tests share: MAVLink fixtures, LinkFrames on the wire, and putting the
// process-wide link state back to a known start between tests.
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

// A fresh master secret on the one security state and on the aircraft's end (counters reset),
// both MAVLink channels idle and the LinkFrame parser waiting for a start byte.
void resetLink();


// Hands a chunk to a handler's private dataArrived slot the way a queued connection does.
void deliver(MessageHandler &handler, const QByteArray &chunk);

// A record sealed by the aircraft's end, as wire bytes.
QByteArray sealRecord(const QByteArray &plaintext, uint8_t type = 0);

// True when bytes are exactly one LinkFrame, which is then in frame.
bool readWireFrame(const QByteArray &bytes, LinkFrame &frame);

// Checks and decrypts one LinkFrame at the aircraft's end; empty when it fails.
QByteArray openRecord(const QByteArray &wireBytes);

} // namespace handlers_test
