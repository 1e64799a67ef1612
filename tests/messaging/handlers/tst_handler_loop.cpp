// The whole message path in one process: a long mixed ground-control stream goes through the
// PlainMessageHandler, its records (with corrupted copies, replays and noise mixed in) through
// the EncryptedMessageHandler, and every message that parsed must come out once, in order,
// byte for byte as the relay writes it. The aircraft's end of the support code opens each
// record and seals its message again for the way back: the ground refuses its own records.
#include <QSignalSpy>
#include <QtTest>

#include <random>

#include "messaging/EncryptedMessageHandler.h"
#include "messaging/PlainMessageHandler.h"
#include "tests/messaging/handlers/HandlerTestSupport.h"

using namespace handlers_test;

namespace {

class StreamGenerator
{
public:
    explicit StreamGenerator(quint32 seed) : rng(seed) { table = mavlink_get_msg_table(&rows); }

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    uint8_t byte() { return uint8_t(uniform(0, 255)); }

    // Ground-control bytes; expected gets the relayed form of each frame that parses, in order.
    QByteArray stream(int frames, QVector<QByteArray> &expected, int &dropped)
    {
        QByteArray out;
        for (int i = 0; i < frames; ++i) {
            if (chance(0.12)) {
                out += droppedFrame();
                ++dropped;
            } else {
                const FrameFields fields = goodFields();
                const uint8_t crcExtra = mavlink_get_msg_entry(fields.msgid)->crc_extra;
                out += buildFrame(fields, crcExtra);
                expected.append(relayedForm(fields, crcExtra));
            }
            if (chance(0.05))
                out += noise(0xFD, 0xFE);
        }
        return out;
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

private:
    FrameFields goodFields()
    {
        const mavlink_msg_entry_t &row = table[uniform(0, int(rows) - 1)];
        FrameFields f;
        f.versionOne = row.msgid <= 255 && chance(0.15);
        f.msgid = row.msgid;
        f.seq = uint8_t(nextSeq++);
        f.sysid = byte();
        f.compid = byte();
        if (!f.versionOne && chance(0.1))
            f.compatFlags = byte();
        // Table length, anything, truncated below the table length, or tiny. Zero-length frames
        // are left out: how they are written back is the framing's own choice.
        const int pick = uniform(0, 9), msgLen = qMax<int>(1, row.msg_len);
        const int length = pick < 3 ? msgLen : pick < 7 ? uniform(1, 255) : pick < 9 ? uniform(1, msgLen) : uniform(1, 8);
        for (int i = 0; i < length; ++i)
            f.payload.append(char(byte()));
        if (chance(0.35)) {  // a zero tail (sometimes the whole payload) is what the relay trims
            const int from = uniform(0, length - 1);
            f.payload.replace(from, length - from, QByteArray(length - from, '\0'));
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
            uint8_t crcExtra = mavlink_get_msg_entry(f.msgid)->crc_extra;
            QByteArray frame;
            if (kind == Drop::BadChecksum && chance(0.3)) {
                // An id without a row is checked with CRC_EXTRA 0.
                f.versionOne = false;
                do
                    f.msgid = uint32_t(uniform(0, 0xFFFFFF));
                while (mavlink_get_msg_entry(f.msgid));
                frame = buildFrame(f, crcExtra = byte());
                if (frame == buildFrame(f, 0))
                    continue;
            } else if (kind == Drop::BadChecksum) {
                // One flipped bit in the payload or checksum: a CRC always sees it, and the header,
                // which decides where the frame ends, stays as it was.
                frame = buildFrame(f, crcExtra);
                const int at = uniform(f.versionOne ? 6 : 10, frame.size() - 1);
                frame[at] = char(frame[at] ^ (1 << uniform(0, 7)));
            } else if (kind == Drop::UnknownIncompatFlag) {
                f.versionOne = false;
                f.incompatFlags = byte();
                if ((f.incompatFlags & 0xFE) == 0)
                    continue;
                frame = buildFrame(f, crcExtra);
            } else {
                f.versionOne = false;
                f.incompatFlags = 0x01;
                for (int i = 0; i < 13; ++i)
                    f.signature.append(char(byte()));
                frame = buildFrame(f, crcExtra);
                if (kind == Drop::SignedBadChecksum)
                    frame[frame.size() - 14] = char(frame[frame.size() - 14] ^ 0x80);  // high checksum byte
            }
            if (noStartByteFrom(frame, dropIndex(frame, kind)))
                return frame;
        }
    }

    std::mt19937 rng;
    const mavlink_msg_entry_t *table = nullptr;
    size_t rows = 0;
    int nextSeq = 0;
};

// Feeds bytes in chunks of 1 to maxChunk, running a pass after some of them as the loop would
// between deliveries, and one at the end.
void pump(MessageHandler &handler, const QByteArray &bytes, int maxChunk, StreamGenerator &gen)
{
    for (int at = 0; at < bytes.size();) {
        const int n = qMin(gen.uniform(1, maxChunk), bytes.size() - at);
        deliver(handler, bytes.mid(at, n));
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

    void everyMessageComesBackOnce_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("maxChunk");
        QTest::addColumn<quint32>("minEpochs");
        QTest::newRow("one byte per chunk") << 11u << 300 << 1 << 1u;
        QTest::newRow("mixed chunks") << 22u << 6000 << 300 << 3u;
        QTest::newRow("large chunks") << 33u << 6000 << 20000 << 3u;
    }

    void everyMessageComesBackOnce()
    {
        QFETCH(quint32, seed);
        QFETCH(int, frames);
        QFETCH(int, maxChunk);
        QFETCH(quint32, minEpochs);
        StreamGenerator gen(seed);
        QVector<QByteArray> expected;
        int dropped = 0;
        const QByteArray groundControl = gen.stream(frames, expected, dropped);

        PlainMessageHandler plain;
        QSignalSpy records(&plain, &MessageHandler::dataProcessed);
        pump(plain, groundControl, maxChunk, gen);
        QCOMPARE(records.count(), expected.size());

        QByteArray modem;
        QVector<QByteArray> sent;
        quint32 lastEpoch = 0;
        for (int i = 0; i < records.count(); ++i) {
            const QByteArray record = records.at(i).at(0).toByteArray();
            LinkFrame frame;
            QVERIFY2(readWireFrame(record, frame), qPrintable(QStringLiteral("record %1 is not one frame").arg(i)));
            QCOMPARE(readBig(frame.sequence, 8), uint64_t(i + 1));
            QVERIFY(readBig(frame.epoch, 4) >= lastEpoch);
            lastEpoch = quint32(readBig(frame.epoch, 4));
            const QByteArray echoed = sealRecord(openRecord(record));
            if (gen.chance(0.03)) {  // damaged in transit: ciphertext or code changed
                QByteArray damaged = echoed;
                const int at = gen.uniform(16, damaged.size() - 2);
                damaged[at] = char(damaged[at] ^ 0x10);
                modem += damaged;
            }
            modem += echoed;
            sent.append(echoed);
            if (gen.chance(0.03))  // an old record replayed
                modem += sent[gen.uniform(0, sent.size() - 1)];
            if (gen.chance(0.03))
                modem += gen.noise(0xFC, 0xFC);
        }
        QVERIFY2(lastEpoch >= minEpochs, qPrintable(QStringLiteral("reached epoch %1").arg(lastEpoch)));

        EncryptedMessageHandler encrypted;
        QSignalSpy relayed(&encrypted, &MessageHandler::dataProcessed);
        pump(encrypted, modem, maxChunk, gen);
        QCOMPARE(relayed.count(), expected.size());
        for (int i = 0; i < relayed.count(); ++i) {
            const QByteArray got = relayed.at(i).at(0).toByteArray();
            if (got != expected[i])
                QFAIL(qPrintable(QStringLiteral("message %1: got %2, expected %3")
                                     .arg(i)
                                     .arg(QString::fromLatin1(got.toHex()), QString::fromLatin1(expected[i].toHex()))));
        }
        qInfo("%d frames (%d dropped on purpose), %d ground-control bytes, %d modem bytes, last epoch %u", frames,
              dropped, groundControl.size(), modem.size(), lastEpoch);
    }
};

QTEST_GUILESS_MAIN(TestHandlerLoop)
#include "tst_handler_loop.moc"
