// The two handlers one call at a time: chunking, what is protected, and which frame of a
// record gets through (drops, replays and damage: the record layer, the parser and the
// mixed-stream loop). Every test starts from a freshly installed master secret, so the first
// record sent carries sequence number 1.
#include <QSignalSpy>
#include <QtTest>

#include "messaging/EncryptedMessageHandler.h"
#include "messaging/PlainMessageHandler.h"
#include "tests/messaging/handlers/HandlerTestSupport.h"

using namespace handlers_test;
using namespace fixtures;

namespace {

// A handler with its emissions recorded; pass() delivers a chunk and runs one pass.
template <typename Handler>
struct Probe {
    Handler handler;
    QSignalSpy spy{&handler, &MessageHandler::dataProcessed};
    int pass(const QByteArray &chunk)
    {
        deliver(handler, chunk);
        handler.handleData();
        return spy.count();
    }
    QByteArray at(int i) const { return spy.at(i).at(0).toByteArray(); }
};

} // namespace

class TestMessageHandlers : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLink(); }

    // Chunks go in one per pass; the emissions after each pass, and what each record opens to.
    void plainHandler_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QList<int>>("countsAfter");
        QTest::addColumn<QByteArrayList>("protectedFrames");
        const auto row = [](const char *name, const QByteArrayList &chunks, const QList<int> &countsAfter,
                            const QByteArrayList &frames) {
            QTest::newRow(name) << chunks << countsAfter << frames;
        };
        const QByteArray f1 = fixture(F1), f3 = fixture(F3);  // 21 bytes each
        // The frame comes out during the call with its last chunk.
        row("header|payload|crc", {f3.left(10), f3.mid(10, 9), f3.mid(19)}, {0, 0, 1}, {f3});
        row("two frames in one chunk", {f1 + f3}, {2}, {f1, f3});
        // A frame failing its checksum is dropped and the rest of the chunk still goes through.
        QByteArray bad = f1;
        bad[14] = char(bad[14] ^ 1);
        row("bad checksum", {bad + f3}, {1}, {f3});
        // What is protected is the frame written again: F6 (COMMAND_LONG, id 76, CRC_EXTRA 152)
        // is the trimmed form; with its 33rd, zero byte still on it must come out as F6.
        const Bytes f6 = fromHex(F6);
        const Bytes untrimmed = buildV2(76, concat({Bytes(f6.begin() + 10, f6.begin() + 42), {0}}), 152, 0, 4, 255, 190);
        row("untrimmed v2 loses trailing zero", {QByteArray(reinterpret_cast<const char *>(untrimmed.data()), int(untrimmed.size()))},
            {1}, {fixture(F6)});
    }

    // Each emission is exactly one Data LinkFrame of epoch 1 with the next sequence number.
    void plainHandler()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QList<int>, countsAfter);
        QFETCH(QByteArrayList, protectedFrames);
        Probe<PlainMessageHandler> p;
        for (int i = 0; i < chunks.size(); ++i)
            QCOMPARE(p.pass(chunks[i]), countsAfter[i]);
        QCOMPARE(p.spy.count(), protectedFrames.size());
        for (int i = 0; i < protectedFrames.size(); ++i) {
            LinkFrame frame;
            QVERIFY2(readWireFrame(p.at(i), frame), "each emission is exactly one LinkFrame");
            QCOMPARE(frame.type, uint8_t(0));
            QCOMPARE(readBig(frame.sequence, 8), uint64_t(i + 1));
            QCOMPARE(readBig(frame.epoch, 4), uint64_t(1));
            QCOMPARE(openRecord(p.at(i)), protectedFrames[i]);
        }
    }

    void encryptedYieldsFirstFrameOfRecord_data()
    {
        QTest::addColumn<QByteArray>("plaintext");
        QTest::addColumn<int>("type");
        QTest::newRow("two frames") << fixture(F1) + fixture(F3) << 0;
        // 0xFD filler would open a frame in the channel if the rest of the record were parsed,
        // and the record after it would then be lost.
        QTest::newRow("512-byte record") << fixture(F1) + QByteArray(512 - 21, char(0xFD)) << 0;
        QTest::newRow("Hello-typed frame") << fixture(F1) << 1;
        QTest::newRow("Finished-typed frame") << fixture(F1) << 2;
    }

    void encryptedYieldsFirstFrameOfRecord()
    {
        QFETCH(QByteArray, plaintext);
        QFETCH(int, type);
        const QByteArray first = sealRecord(plaintext, uint8_t(type));  // sealed in arrival order
        Probe<EncryptedMessageHandler> p;
        QCOMPARE(p.pass(first + sealRecord(fixture(F3))), 2);
        QCOMPARE(p.at(0), fixture(F1));
        QCOMPARE(p.at(1), fixture(F3));
    }

    void directionsKeepTheirOwnPartialFrames()
    {
        // Each direction has its own parser channel: a frame half-read from ground control
        // survives a whole record from the aircraft, and the other way round.
        const QByteArray up = fixture(F3), down = fixture(F1);
        Probe<PlainMessageHandler> plain;
        Probe<EncryptedMessageHandler> encrypted;
        QCOMPARE(encrypted.pass(sealRecord(down.left(9))), 0);
        QCOMPARE(plain.pass(up.left(10)), 0);
        QCOMPARE(encrypted.pass(sealRecord(down.mid(9))), 1);
        QCOMPARE(plain.pass(up.mid(10)), 1);
        QCOMPARE(encrypted.at(0), down);
        QCOMPARE(openRecord(plain.at(0)), up);
    }

};

QTEST_GUILESS_MAIN(TestMessageHandlers)
#include "tst_message_handlers.moc"
