// The link counters against a known stream through both handlers: every drop and refusal is
// counted once, under its own reason, and the published copy is what the readers get.
#include <QtTest>

#include <cstring>

#include "messaging/EncryptedMessageHandler.h"
#include "messaging/LinkCounters.h"
#include "messaging/PlainMessageHandler.h"
#include "tests/messaging/handlers/HandlerTestSupport.h"

using namespace handlers_test;
using namespace fixtures;

class TestLinkCounters : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetLink();
        std::memset(&LinkCounters::live(), 0, sizeof(LinkCounters));
    }

    void knownStreamIsCountedByReason()
    {
        const QByteArray good = fixture(F3);
        QByteArray badChecksum = good;
        badChecksum[12] = char(badChecksum[12] ^ 1);
        PlainMessageHandler plain;
        const QByteArray notFrames("\x01\x02\x03");
        deliver(plain, good + badChecksum + fixture(F11) + fixture(F10) + notFrames + good);
        plain.handleData();

        // Not the ground's own frame: under the shared key block the same plaintext with the same
        // sequence number would be the ground's own record, refused as reflected.
        const QByteArray up = fixture(F1);
        const QByteArray first = sealRecord(up), second = sealRecord(up);
        QByteArray forged = second;
        forged[forged.size() - 2] = char(forged[forged.size() - 2] ^ 0x40);  // last MAC byte
        const QByteArray fromAircraft = first + first + forged + second;
        EncryptedMessageHandler encrypted;
        deliver(encrypted, fromAircraft);
        encrypted.handleData();

        const LinkCounters c = linkCountersSnapshot();
        const uint64_t frameBytes = uint64_t(good.size()) + kLinkFrameOverhead;
        QCOMPARE(c.recordsSent, uint64_t(2));
        QCOMPARE(c.bytesToAircraft, 2 * frameBytes);
        QCOMPARE((QList<uint64_t>{c.droppedBadChecksum, c.droppedUnknownId, c.droppedSigned,
                                  c.droppedNotFrame}),
                 (QList<uint64_t>{1, 1, 1, 3}));
        QCOMPARE(c.recordsAccepted, uint64_t(2));
        QCOMPARE((QList<uint64_t>{c.refusedReplay, c.refusedMac, c.refusedLimit, c.refusedReflected}),
                 (QList<uint64_t>{1, 1, 0, 0}));
        QCOMPARE(c.bytesFromAircraft, uint64_t(fromAircraft.size()));
        QVERIFY(c.lastAircraftRecordMs > 0 && c.lastAircraftRecordMs <= steadyClockMs());
        QCOMPARE((QList<uint64_t>{c.sendEpoch, c.receiveEpoch}), (QList<uint64_t>{1, 1}));
        QCOMPARE(c.bytesBeforeRekey, uint64_t(102400 - 2 * good.size()));
    }

    // The stream above cannot produce the refusals of a misbehaving peer; each code still
    // has its own counter.
    void everyRefusalCodeHasItsCounter()
    {
        const struct {
            int code;
            uint64_t LinkCounters::*field;
        } rows[] = {{0, &LinkCounters::recordsAccepted}, {-2, &LinkCounters::refusedReplay},
                    {-3, &LinkCounters::refusedMac},     {-4, &LinkCounters::refusedLimit},
                    {-5, &LinkCounters::refusedReflected}, {-22, &LinkCounters::refusedMac}};
        for (const auto &row : rows) {
            LinkCounters counters{};
            countRecordResult(counters, row.code);
            LinkCounters expected{};
            expected.*row.field = 1;
            QVERIFY2(std::memcmp(&counters, &expected, sizeof counters) == 0,
                     qPrintable(QString("code %1").arg(row.code)));
        }
    }
};

QTEST_GUILESS_MAIN(TestLinkCounters)
#include "tst_link_counters.moc"
