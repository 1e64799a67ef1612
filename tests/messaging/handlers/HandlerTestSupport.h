// What the handler tests share: MAVLink frames built independently of the framing library,
// the LinkFrame wire layout read by offsets, and putting the process-wide link state back
// to a known start between tests.
#pragma once

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <cstdint>

class MessageHandler;
struct LinkFrame;

namespace handlers_test {

// Frames of the MAVLink fixtures (shared/notes/mavlink/fixtures.md): wire bytes produced by
// node-mavlink 2.3.0 and byte-identical to those of the MAVLink C library c_library_v2.
QByteArray fixture(const char *name);

// The 2018 common-dialect CRC_EXTRA table, read from the test data copy of
// shared/notes/mavlink/message-table.csv rather than from the library under test.
struct TableRow {
    uint32_t id;
    uint8_t crcExtra;
    uint8_t msgLen;
};
const QVector<TableRow> &messageTable();
const TableRow *findRow(uint32_t id);

// CRC-16/MCRF4XX written from its catalogue parameters (reflected polynomial 0x8408,
// start 0xFFFF), not from the framing code.
uint16_t mcrf4xx(const uint8_t *bytes, int count, uint16_t crc = 0xFFFF);

struct FrameFields {
    bool versionOne = false;
    uint8_t incompatFlags = 0;
    uint8_t compatFlags = 0;
    uint8_t seq = 0;
    uint8_t sysid = 1;
    uint8_t compid = 1;
    uint32_t msgid = 0;
    QByteArray payload;
    QByteArray signature;  // appended when bit 0 of incompatFlags is set
};

// Wire bytes of a frame with its payload exactly as given and a checksum seeded with crcExtra.
QByteArray buildFrame(const FrameFields &fields, uint8_t crcExtra);

// What the relay writes for a frame that parsed: version 1 unchanged; version 2 with the
// trailing zero payload bytes cut (one byte stays) and the checksum taken over what remains.
QByteArray relayedForm(const FrameFields &fields, uint8_t crcExtra);

// Index of the byte at which the parser gives up on a frame meant to be dropped. From that
// byte on the parser reads stream bytes again, so a 0xFD or 0xFE there would open a phantom
// frame that swallows whatever follows.
enum class Drop { BadChecksum, UnknownIncompatFlag, SignedGoodChecksum, SignedBadChecksum };
int dropIndex(const QByteArray &frame, Drop kind);
bool noStartByteFrom(const QByteArray &frame, int index);

// Puts the link back to its start: a fresh master secret on the one security state (both
// directions' counters reset), both MAVLink channels idle and the LinkFrame parser waiting
// for a start byte.
void resetLink();

// Hands a chunk to a handler's private dataArrived slot the way a queued connection does.
bool deliver(MessageHandler &handler, const QByteArray &chunk);

// A Data record sealed as the aircraft would send it, as wire bytes (send side of the state).
QByteArray sealRecord(const QByteArray &plaintext, uint8_t type = 0);

// One LinkFrame on the wire, read by offsets.
struct WireFrame {
    bool wellFormed = false;  // start and end markers in place, size = length + 25
    uint8_t type = 0xFF;
    uint16_t length = 0;
    quint64 sequence = 0;
    quint32 epoch = 0;
};
WireFrame readWireFrame(const QByteArray &bytes);

// Checks and decrypts an emitted LinkFrame on the receive side of the state; empty when it
// does not verify.
QByteArray openRecord(const QByteArray &wireBytes);

} // namespace handlers_test
