// The hand-over from authentication to the encrypted relay, on real pseudo-terminals: what
// runs while authenticating, what a success writes and starts, and that a success left over
// from a stopped or replaced run touches nothing.
#include "manager/EncryptorManager.h"

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrameParser.h"
#include "tests/support/PtyPair.h"

#include <QtTest>

using testsupport::PtyPair;

namespace {

// A version 2 HEARTBEAT as written by a real MAVLink library (node-mavlink 2.3.0 and the
// MAVLink C library agree on it byte for byte).
const QByteArray heartbeat = QByteArray::fromHex("fd090000000101000000000000000203510403e71e");

QList<LinkFrame> parseFrames(const QByteArray &bytes)
{
    LinkFrameParser parser;
    QList<LinkFrame> frames;
    LinkFrame frame{};
    for (char c : bytes)
        if (parser.parseByte(static_cast<uint8_t>(c), frame))
            frames << frame;
    return frames;
}

// Both ports on pseudo-terminals, authentication started.
struct Link
{
    PtyPair gcs, modem;
    EncryptorManager manager{nullptr};
    QSignalSpy notes{&manager, &EncryptorManager::notification};
    QSignalSpy ids{&manager, &EncryptorManager::netIdChanged};

    Link() { start(); }
    void start() { manager.initialize(gcs.slavePath(), QString(), modem.slavePath()); }
    int runningThreads() const
    {
        int running = 0;
        for (QThread *t : manager.findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly))
            running += t->isRunning() ? 1 : 0;
        return running;
    }
};

} // namespace

class LinkStartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        uint8_t secret[32];
        for (int i = 0; i < 32; ++i)
            secret[i] = static_cast<uint8_t>(0x5A ^ i);
        LinkSecurityState::instance().installMasterSecret(secret);
    }

    void authenticatingForwardsNothingFromGroundControl()
    {
        Link link;
        QCOMPARE(link.runningThreads(), 3);
        QTRY_VERIFY(link.notes.count() >= 1);
        QCOMPARE(link.notes.at(0).at(0).toString(), QStringLiteral("Выполняется загрузка ключей..."));
        QVERIFY(link.gcs.write(heartbeat));
        QCoreApplication::processEvents();
        QCOMPARE(link.modem.readUntilQuiet(300, 600), QByteArray());
        QVERIFY(!link.manager.isEncryptionEnabled());
    }

    void successWritesTheIdAndStartsTheRelay_data()
    {
        QTest::addColumn<int>("netId");
        QTest::addColumn<QByteArray>("ats3");
        QTest::newRow("0 is a valid id") << 0 << QByteArray("ATS3=0");
        QTest::newRow("only the low byte reaches the modem") << 300 << QByteArray("ATS3=44");
    }
    void successWritesTheIdAndStartsTheRelay()
    {
        QFETCH(int, netId);
        QFETCH(QByteArray, ats3);
        Link link;
        QCOMPARE(link.runningThreads(), 3);

        // The aircraft's first record, sealed before the relay touches the shared state.
        LinkSecurityState &state = LinkSecurityState::instance();
        state.installMasterSecret(state.masterSecret);
        LinkFrame fromAircraft{};
        fromAircraft.startMarker = kLinkFrameStartMarker;
        fromAircraft.endMarker = kLinkFrameEndMarker;
        QVERIFY(protectFrame(state, reinterpret_cast<const uint8_t *>(heartbeat.constData()),
                             static_cast<uint16_t>(heartbeat.size()), fromAircraft));

        QSignalSpy enabled(&link.manager, &EncryptorManager::encryptionEnabledChanged);
        QSignalSpy succeeded(&link.manager, &EncryptorManager::authSucceeded);
        link.manager.onAuthSucceeded(netId);
        QVERIFY(link.manager.isModemRoutineRunning());
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 8000);
        // Each AT command with its string's zero byte; see ModemNetworkIdTest for the pauses.
        QCOMPARE(link.modem.readUntilQuiet(300, 2000),
                 "+++" + ats3 + QByteArray("\r\n\0AT&W\r\n\0ATZ\r\n", 16));
        QCOMPARE(link.ids.count(), 1);
        QCOMPARE(link.ids.at(0).at(0).toInt(), netId);
        QCOMPARE(enabled.count(), 1);
        QCOMPARE(succeeded.count(), 1);
        QVERIFY(link.manager.isEncryptionEnabled());
        QCOMPARE(link.runningThreads(), 3); // both ports and the encryptor

        // Ground control to aircraft: one Data frame per MAVLink message.
        QVERIFY(link.gcs.write(heartbeat));
        const QList<LinkFrame> frames =
            parseFrames(link.modem.readExactly(heartbeat.size() + kLinkFrameOverhead, 3000));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.at(0).type, uint8_t(LinkFrameType::Data));
        QCOMPARE(int(frames.at(0).length), heartbeat.size());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(frames.at(0).sequence), 8),
                 QByteArray::fromHex("0000000000000002"));

        // Aircraft to ground control: the record comes out as the MAVLink frame it carried.
        uint8_t wire[kLinkFrameMaxSize];
        QVERIFY(link.modem.write(QByteArray(reinterpret_cast<const char *>(wire),
                                            writeLinkFrame(fromAircraft, wire))));
        QCOMPARE(link.gcs.readExactly(heartbeat.size(), 3000), heartbeat);
        // Nothing from either side leaks back to where it came from.
        QCOMPARE(link.modem.readUntilQuiet(100, 300), QByteArray());

        // Started again while relaying: the relay stops and the flag with it, until the next
        // success starts both again.
        link.start();
        QCOMPARE(link.runningThreads(), 3);
        QVERIFY(!link.manager.isEncryptionEnabled());
        link.manager.onAuthSucceeded(2);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 2, 8000);
        QCOMPARE(link.ids.count(), 2);
        QCOMPARE(link.ids.at(1).at(0).toInt(), 2);
        QCOMPARE(enabled.count(), 3);
        QVERIFY(link.manager.isEncryptionEnabled());
    }

    // A start or a stop while the AT commands go out (a click that the window let through,
    // or a terminal signal to the relay): the commands finish, and the flag says what runs.
    void startOrStopDuringTheModemRoutine_data()
    {
        QTest::addColumn<QString>("then");
        QTest::newRow("start again") << "start";
        QTest::newRow("start again, modem port gone") << "start-fails";
        QTest::newRow("stop") << "stop";
    }
    void startOrStopDuringTheModemRoutine()
    {
        QFETCH(QString, then);
        const bool restart = then == "start";
        Link link;
        QSignalSpy enabled(&link.manager, &EncryptorManager::encryptionEnabledChanged);
        link.manager.onAuthSucceeded(5);
        QVERIFY(link.manager.isModemRoutineRunning());
        if (then == "start")
            link.start();
        else if (then == "start-fails")
            link.manager.initialize(link.gcs.slavePath(), QString(), "/dev/ttyNOPE");
        else
            link.manager.deinitialize();
        QVERIFY(!link.manager.isModemRoutineRunning());
        QCOMPARE(link.modem.readUntilQuiet(100, 500),
                 "+++ATS3=5" + QByteArray("\r\n\0AT&W\r\n\0ATZ\r\n", 16));
        QTest::qWait(200);
        QCOMPARE(enabled.count(), 0);
        QVERIFY(!link.manager.isEncryptionEnabled());
        QCOMPARE(link.ids.count(), 0);
        // Started again: ports and authentication, no relay; stopped: nothing, status cleared.
        QCOMPARE(link.runningThreads(), restart ? 3 : 0);
        QCOMPARE(link.manager.linkHealth()->stateName(), restart ? "Authenticating" : "Stopped");
        if (!restart)
            QCOMPARE(link.notes.last().at(0).toString(), QString());
        if (restart) {
            QVERIFY(link.gcs.write(heartbeat));
            QCOMPARE(link.modem.readUntilQuiet(200, 600), QByteArray());
        }
    }

    void staleSuccessIsDropped_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("queued, then stopped") << "stop";
        QTest::newRow("arrives after the stop") << "after-stop";
        QTest::newRow("queued, then started again") << "restart";
    }
    void staleSuccessIsDropped()
    {
        QFETCH(QString, when);
        Link link;
        if (when == "after-stop")
            link.manager.deinitialize();
        QMetaObject::invokeMethod(&link.manager, "onAuthSucceeded", Qt::QueuedConnection,
                                  Q_ARG(int, 7));
        if (when == "stop")
            link.manager.deinitialize();
        if (when == "restart")
            link.start();

        QTest::qWait(300);
        QCOMPARE(link.ids.count(), 0);
        QVERIFY(!link.manager.isEncryptionEnabled());
        QCOMPARE(link.modem.readUntilQuiet(100, 300), QByteArray());
        QCOMPARE(link.runningThreads(), when == "restart" ? 3 : 0);
        // After the empty text of the stop nothing of the old run reaches the window.
        if (when != "restart") {
            QVERIFY(!link.notes.isEmpty());
            QCOMPARE(link.notes.last().at(0).toString(), QString());
        }
    }

#ifdef Q_OS_LINUX
    void offeredPortCarriesTheRelay()
    {
        PtyPair modem;
        const QString path = QDir::temp().filePath(
            QString("uav-link-test-%1").arg(QCoreApplication::applicationPid()));
        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        manager.initialize(QString(), path, modem.slavePath());
        QCOMPARE(errors.count(), 0);
        QVERIFY(QFileInfo(path).isSymLink());

        QFile client(path);
        QVERIFY(client.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        QSignalSpy succeeded(&manager, &EncryptorManager::authSucceeded);
        manager.onAuthSucceeded(9);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 8000);
        modem.readUntilQuiet(200, 2000);
        QCOMPARE(client.write(heartbeat), qint64(heartbeat.size()));
        const QList<LinkFrame> frames =
            parseFrames(modem.readExactly(heartbeat.size() + kLinkFrameOverhead, 3000));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(int(frames.at(0).length), heartbeat.size());
        client.close();
        manager.deinitialize();
        QVERIFY(!QFileInfo(path).isSymLink() && !QFileInfo::exists(path));
    }
#endif
};

QTEST_GUILESS_MAIN(LinkStartupTest)
#include "LinkStartupTest.moc"
