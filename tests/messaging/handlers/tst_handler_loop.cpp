// The whole message path in one process: a long mixed ground-control stream goes through the
// PlainMessageHandler, its records (with corrupted copies, replays and noise mixed in) through
// the EncryptedMessageHandler, and every message that parsed must come out once, in order,
// byte for byte as the relay writes it. Both handlers share the one security state: the plain
// side uses its send counters, the encrypted side its receive counters.
#include <QSignalSpy>
#include <QtTest>

#include <random>

#include "messaging/EncryptedMessageHandler.h"
#include "messaging/PlainMessageHandler.h"
#include "tests/messaging/handlers/HandlerTestSupport.h"

using namespace handlers_test;

namespace {

struct Stream {
    QByteArray groundControl;
    QVector<QByteArray> expected;  // relayed form of each frame that parses, in order
    int dropped = 0;
};

class StreamGenerator
{
public:
    explicit StreamGenerator(quint32 seed) : rng(seed) {}

    Stream make(int frames)
    {
        Stream s;
        for (int i = 0; i < frames; ++i) {
            if (chance(0.12)) {
                s.groundControl += droppedFrame();
                ++s.dropped;
            } else {
                const FrameFields fields = goodFields();
                const uint8_t crcExtra = findRow(fields.msgid)->crcExtra;
                s.groundControl += buildFrame(fields, crcExtra);
                s.expected.append(relayedForm(fields, crcExtra));
            }
            if (chance(0.05))
                s.groundControl += noise(0xFD, 0xFE);
        }
        return s;
    }

    // Bytes between frames that cannot start one.
    QByteArray noise(uint8_t avoid1, uint8_t avoid2)
    {
        QByteArray bytes;
        for (int n = uniform(1, 20); n > 0; --n) {
            uint8_t b;
            do
                b = byte();
            while (b == avoid1 || b == avoid2);
            bytes.append(char(b));
        }
        return bytes;
    }

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    uint8_t byte() { return static_cast<uint8_t>(uniform(0, 255)); }

private:
    FrameFields goodFields()
    {
        const QVector<TableRow> &table = messageTable();
        const TableRow &row = table[uniform(0, table.size() - 1)];
        FrameFields f;
        f.versionOne = row.id <= 255 && chance(0.15);
        f.msgid = row.id;
        f.seq = static_cast<uint8_t>(nextSeq++);
        f.sysid = byte();
        f.compid = byte();
        if (!f.versionOne && chance(0.1))
            f.compatFlags = byte();
        // Table length, anything, truncated below the table length, or tiny. Zero-length
        // frames are left out: how they are written back is the framing's own choice.
        const int pick = uniform(0, 9);
        const int length = pick < 3 ? qMax<int>(1, row.msgLen)
                         : pick < 7 ? uniform(1, 255)
                         : pick < 9 ? uniform(1, qMax<int>(1, row.msgLen))
                                    : uniform(1, 8);
        for (int i = 0; i < length; ++i)
            f.payload.append(char(byte()));
        // A zero tail (sometimes the whole payload) is what the relay trims.
        if (chance(0.35)) {
            for (int i = uniform(0, length - 1); i < length; ++i)
                f.payload[i] = '\0';
        }
        return f;
    }

    // A frame the parser drops, redrawn until nothing after its drop point could open a
    // phantom frame over the frames that follow.
    QByteArray droppedFrame()
    {
        for (;;) {
            const Drop kind = static_cast<Drop>(uniform(0, 3));
            FrameFields f = goodFields();
            uint8_t crcExtra = findRow(f.msgid)->crcExtra;
            QByteArray frame;
            switch (kind) {
            case Drop::BadChecksum:
                if (chance(0.3)) {
                    // An id without a row is checked with CRC_EXTRA 0.
                    f.versionOne = false;
                    do
                        f.msgid = static_cast<uint32_t>(uniform(0, 0xFFFFFF));
                    while (findRow(f.msgid));
                    crcExtra = static_cast<uint8_t>(uniform(1, 255));
                    frame = buildFrame(f, crcExtra);
                    if (frame == buildFrame(f, 0))
                        continue;
                } else {
                    // One flipped bit in the payload or checksum: a CRC always sees it, and
                    // the header, which decides where the frame ends, stays as it was.
                    frame = buildFrame(f, crcExtra);
                    const int at = uniform(f.versionOne ? 6 : 10, frame.size() - 1);
                    frame[at] = char(frame[at] ^ (1 << uniform(0, 7)));
                }
                break;
            case Drop::UnknownIncompatFlag:
                f.versionOne = false;
                f.incompatFlags = byte();
                if ((f.incompatFlags & 0xFE) == 0)
                    continue;
                frame = buildFrame(f, crcExtra);
                break;
            case Drop::SignedGoodChecksum:
            case Drop::SignedBadChecksum:
                f.versionOne = false;
                f.incompatFlags = 0x01;
                for (int i = 0; i < 13; ++i)
                    f.signature.append(char(byte()));
                frame = buildFrame(f, crcExtra);
                if (kind == Drop::SignedBadChecksum) {
                    const int at = frame.size() - 14;  // high checksum byte
                    frame[at] = char(frame[at] ^ 0x80);
                }
                break;
            }
            if (noStartByteFrom(frame, dropIndex(frame, kind)))
                return frame;
        }
    }

    std::mt19937 rng;
    int nextSeq = 0;
};

// Cuts bytes into chunks of 1 to maxChunk bytes and feeds them to the handler, calling
// handleData after some of them as the loop would between deliveries.
void pump(MessageHandler &handler, const QByteArray &bytes, int maxChunk, StreamGenerator &gen)
{
    for (int at = 0; at < bytes.size();) {
        const int n = qMin(gen.uniform(1, maxChunk), bytes.size() - at);
        QVERIFY(deliver(handler, bytes.mid(at, n)));
        at += n;
        if (gen.chance(0.5))
            handler.handleData();
    }
    handler.handleData();
}

} // namespace

class TestHandlerLoop : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLink(); }
    void everyMessageComesBackOnce_data();
    void everyMessageComesBackOnce();
};

void TestHandlerLoop::everyMessageComesBackOnce_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("maxChunk");
    QTest::addColumn<quint32>("minEpochs");
    QTest::newRow("one byte per chunk") << 11u << 300 << 1 << 1u;
    QTest::newRow("mixed chunks") << 22u << 6000 << 300 << 3u;
    QTest::newRow("large chunks") << 33u << 6000 << 20000 << 3u;
}

void TestHandlerLoop::everyMessageComesBackOnce()
{
    QFETCH(quint32, seed);
    QFETCH(int, frames);
    QFETCH(int, maxChunk);
    QFETCH(quint32, minEpochs);

    StreamGenerator gen(seed);
    const Stream stream = gen.make(frames);

    PlainMessageHandler plain;
    QSignalSpy records(&plain, &MessageHandler::dataProcessed);
    pump(plain, stream.groundControl, maxChunk, gen);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.count(), stream.expected.size());

    QByteArray modem;
    QVector<QByteArray> sent;
    quint32 lastEpoch = 0;
    for (int i = 0; i < records.count(); ++i) {
        const QByteArray record = records.at(i).at(0).toByteArray();
        const WireFrame wire = readWireFrame(record);
        QVERIFY2(wire.wellFormed, qPrintable(QStringLiteral("record %1 is not one frame").arg(i)));
        QCOMPARE(wire.sequence, quint64(i + 1));
        QVERIFY(wire.epoch >= lastEpoch);
        lastEpoch = wire.epoch;

        if (gen.chance(0.03)) {  // damaged in transit: ciphertext or code changed
            QByteArray damaged = record;
            const int at = gen.uniform(16, damaged.size() - 2);
            damaged[at] = char(damaged[at] ^ 0x10);
            modem += damaged;
        }
        modem += record;
        sent.append(record);
        if (gen.chance(0.03))  // an old record replayed
            modem += sent[gen.uniform(0, sent.size() - 1)];
        if (gen.chance(0.03))
            modem += gen.noise(0xFC, 0xFC);
    }
    QVERIFY2(lastEpoch >= minEpochs, qPrintable(QStringLiteral("reached epoch %1").arg(lastEpoch)));

    EncryptedMessageHandler encrypted;
    QSignalSpy relayed(&encrypted, &MessageHandler::dataProcessed);
    pump(encrypted, modem, maxChunk, gen);

    QCOMPARE(relayed.count(), stream.expected.size());
    for (int i = 0; i < relayed.count(); ++i) {
        const QByteArray got = relayed.at(i).at(0).toByteArray();
        if (got != stream.expected[i])
            QFAIL(qPrintable(QStringLiteral("message %1: got %2, expected %3")
                                 .arg(i)
                                 .arg(QString::fromLatin1(got.toHex()))
                                 .arg(QString::fromLatin1(stream.expected[i].toHex()))));
    }
    qInfo("%d frames (%d dropped on purpose), %d ground-control bytes, %d modem bytes, "
          "last epoch %u",
          frames, stream.dropped, stream.groundControl.size(), modem.size(), lastEpoch);
}

QTEST_GUILESS_MAIN(TestHandlerLoop)
#include "tst_handler_loop.moc"
