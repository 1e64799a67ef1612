#include "tests/messaging/handlers/HandlerTestSupport.h"

#include <QFile>
#include <QMetaObject>
#include <QStringList>

#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "messaging/MessageHandler.h"
#include "messaging/mavlink/Mavlink.h"

namespace handlers_test {

namespace {

// shared/notes/mavlink/fixtures.md, table "Frames": node-mavlink 2.3.0 output, checked
// byte-identical against c_library_v2 925ab39c44 (2018) and HEAD 7e16bc08f1.
struct Fixture {
    const char *name;
    const char *hex;
};
const Fixture kFixtures[] = {
    {"F1", "fd090000000101000000000000000203510403e71e"},
    {"F2", "fe09000101000000000002035104037ddd"},
    {"F3", "fd09000007ffbe000000000000000608c00403a7c1"},
    {"F4", "fd01000000ffbe150000017d37"},
    {"F6", "fd20000004ffbe4c00000000803f000000000000000000000000000000000000000000000000"
           "90010101376d"},
    {"F6b", "fe2104ffbe4c0000803f00000000000000000000000000000000000000000000000090010101"
            "003bb1"},
    {"F10", "fd09010005ffbe000000000000000608c00403712d0100e06f9e75193b6935aed27e"},
    {"F11", "fd0400000b010198000000000010d578"},
};

// Any 32 bytes do: the tests only need both directions to share one master secret.
const uint8_t kMasterSecret[32] = {
    0x4b, 0x1d, 0x92, 0x07, 0xe3, 0x5a, 0x60, 0xc8, 0x19, 0xf4, 0x2e, 0xb7, 0x83, 0x0d, 0x56, 0xa1,
    0x3c, 0xd9, 0x74, 0x08, 0xbe, 0x61, 0x2f, 0x95, 0xca, 0x47, 0x10, 0xe8, 0x5d, 0x33, 0x9b, 0x76,
};

QVector<TableRow> loadTable()
{
    QVector<TableRow> rows;
    QFile file(QStringLiteral(UAV_TEST_DATA_DIR "/message-table.csv"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    file.readLine();  // header
    while (!file.atEnd()) {
        const QList<QByteArray> cells = file.readLine().trimmed().split(',');
        if (cells.size() < 3)
            continue;
        rows.append({cells[0].toUInt(), static_cast<uint8_t>(cells[1].toUInt()),
                     static_cast<uint8_t>(cells[2].toUInt())});
    }
    return rows;
}

} // namespace

QByteArray fixture(const char *name)
{
    for (const Fixture &f : kFixtures) {
        if (std::strcmp(f.name, name) == 0)
            return QByteArray::fromHex(f.hex);
    }
    qFatal("no fixture %s", name);
    return {};
}

const QVector<TableRow> &messageTable()
{
    static const QVector<TableRow> table = loadTable();
    return table;
}

const TableRow *findRow(uint32_t id)
{
    for (const TableRow &row : messageTable()) {
        if (row.id == id)
            return &row;
    }
    return nullptr;
}

uint16_t mcrf4xx(const uint8_t *bytes, int count, uint16_t crc)
{
    for (int i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : (crc >> 1);
    }
    return crc;
}

QByteArray buildFrame(const FrameFields &f, uint8_t crcExtra)
{
    QByteArray frame;
    if (f.versionOne) {
        frame.append(char(0xFE)).append(char(f.payload.size())).append(char(f.seq));
        frame.append(char(f.sysid)).append(char(f.compid)).append(char(f.msgid & 0xFF));
    } else {
        frame.append(char(0xFD)).append(char(f.payload.size()));
        frame.append(char(f.incompatFlags)).append(char(f.compatFlags)).append(char(f.seq));
        frame.append(char(f.sysid)).append(char(f.compid));
        frame.append(char(f.msgid & 0xFF)).append(char((f.msgid >> 8) & 0xFF));
        frame.append(char((f.msgid >> 16) & 0xFF));
    }
    frame.append(f.payload);
    const auto *bytes = reinterpret_cast<const uint8_t *>(frame.constData());
    uint16_t crc = mcrf4xx(bytes + 1, frame.size() - 1);
    crc = mcrf4xx(&crcExtra, 1, crc);
    frame.append(char(crc & 0xFF)).append(char(crc >> 8));
    if (!f.versionOne && (f.incompatFlags & 0x01))
        frame.append(f.signature);
    return frame;
}

QByteArray relayedForm(const FrameFields &fields, uint8_t crcExtra)
{
    if (fields.versionOne)
        return buildFrame(fields, crcExtra);
    FrameFields trimmed = fields;
    while (trimmed.payload.size() > 1 && trimmed.payload.endsWith('\0'))
        trimmed.payload.chop(1);
    return buildFrame(trimmed, crcExtra);
}

int dropIndex(const QByteArray &frame, Drop kind)
{
    const bool versionOne = static_cast<uint8_t>(frame[0]) == 0xFE;
    const int checksumEnd = (versionOne ? 6 : 10) + static_cast<uint8_t>(frame[1]) + 1;
    switch (kind) {
    case Drop::BadChecksum:
    case Drop::SignedBadChecksum:
        return checksumEnd;
    case Drop::UnknownIncompatFlag:
        return 2;
    case Drop::SignedGoodChecksum:
        return checksumEnd + 13;
    }
    return 0;
}

bool noStartByteFrom(const QByteArray &frame, int index)
{
    for (int i = index; i < frame.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(frame[i]);
        if (b == 0xFD || b == 0xFE)
            return false;
    }
    return true;
}

void resetLink()
{
    LinkSecurityState::instance().installMasterSecret(kMasterSecret);
    for (uint8_t channel = 0; channel < 2; ++channel)
        std::memset(mavlink_get_channel_status(channel), 0, sizeof(mavlink_status_t));
    // The LinkFrame parser has no reset. Zeros carry it out of any state: they complete
    // no frame (the end marker is 0xED, a zero length is refused) and a waiting parser
    // skips them. The longest way out is a 512-byte payload plus its header and code.
    LinkFrame scratch;
    for (int i = 0; i < kLinkFrameMaxSize + 64; ++i)
        LinkFrameParser::instance().parseByte(0, scratch);
}

bool deliver(MessageHandler &handler, const QByteArray &chunk)
{
    return QMetaObject::invokeMethod(&handler, "dataArrived", Qt::DirectConnection,
                                     Q_ARG(QByteArray, chunk));
}

QByteArray sealRecord(const QByteArray &plaintext, uint8_t type)
{
    LinkFrame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.startMarker = kLinkFrameStartMarker;
    frame.type = type;
    frame.endMarker = kLinkFrameEndMarker;
    if (!protectFrame(LinkSecurityState::instance(),
                      reinterpret_cast<const uint8_t *>(plaintext.constData()),
                      static_cast<uint16_t>(plaintext.size()), frame))
        return {};
    // Wire order by hand, so that inputs do not rest on the writer under test elsewhere.
    QByteArray wire;
    wire.append(char(frame.startMarker)).append(char(frame.type));
    wire.append(char(frame.length & 0xFF)).append(char(frame.length >> 8));
    wire.append(reinterpret_cast<const char *>(frame.sequence), 8);
    wire.append(reinterpret_cast<const char *>(frame.epoch), 4);
    wire.append(reinterpret_cast<const char *>(frame.payload), frame.length);
    wire.append(reinterpret_cast<const char *>(frame.mac), 8);
    wire.append(char(frame.endMarker));
    return wire;
}

WireFrame readWireFrame(const QByteArray &bytes)
{
    WireFrame w;
    if (bytes.size() < 26)
        return w;
    const auto *b = reinterpret_cast<const uint8_t *>(bytes.constData());
    w.type = b[1];
    w.length = static_cast<uint16_t>(b[2] | (b[3] << 8));
    for (int i = 0; i < 8; ++i)
        w.sequence = (w.sequence << 8) | b[4 + i];
    for (int i = 0; i < 4; ++i)
        w.epoch = (w.epoch << 8) | b[12 + i];
    w.wellFormed = b[0] == 0xFC && w.length + 25 == bytes.size() && b[bytes.size() - 1] == 0xED;
    return w;
}

QByteArray openRecord(const QByteArray &wireBytes)
{
    const WireFrame w = readWireFrame(wireBytes);
    if (!w.wellFormed)
        return {};
    LinkFrame frame;
    std::memset(&frame, 0, sizeof frame);
    const auto *b = reinterpret_cast<const uint8_t *>(wireBytes.constData());
    frame.startMarker = b[0];
    frame.type = b[1];
    frame.length = w.length;
    std::memcpy(frame.sequence, b + 4, 8);
    std::memcpy(frame.epoch, b + 12, 4);
    std::memcpy(frame.payload, b + 16, w.length);
    std::memcpy(frame.mac, b + 16 + w.length, 8);
    frame.endMarker = b[24 + w.length];
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t length = 0;
    if (!unprotectFrame(LinkSecurityState::instance(), frame, plaintext, &length))
        return {};
    return QByteArray(reinterpret_cast<const char *>(plaintext), length);
}

} // namespace handlers_test
