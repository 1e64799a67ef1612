// The hand-over from authentication to the encrypted relay, on real pseudo-terminals: what
// runs while authenticating, what a success writes and starts, and that a success left over
// from a stopped or replaced run touches nothing.
#include "manager/EncryptorManager.h"

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrameParser.h"
#include "tests/support/PtyPair.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using testsupport::PtyPair;

namespace {

// A version 2 HEARTBEAT as written by a real MAVLink library (node-mavlink 2.3.0 and the
// MAVLink C library agree on it byte for byte).
const QByteArray heartbeat = QByteArray::fromHex("fd090000000101000000000000000203510403e71e");

int runningThreads(const EncryptorManager &manager)
{
    int running = 0;
    for (QThread *t : manager.findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly))
        running += t->isRunning() ? 1 : 0;
    return running;
}

QByteArray modemCommands(int netId)
{
    QByteArray expected("+++");
    expected += "ATS3=" + QByteArray::number(netId & 0xFF) + "\r\n";
    expected += '\0';
    expected += QByteArray("AT&W\r\n", 7);
    expected += QByteArray("ATZ\r\n", 6);
    return expected;
}

QList<LinkFrame> parseFrames(const QByteArray &bytes)
{
    LinkFrameParser parser;
    QList<LinkFrame> frames;
    LinkFrame frame{};
    for (char c : bytes) {
        if (parser.parseByte(static_cast<uint8_t>(c), frame))
            frames << frame;
    }
    return frames;
}

QByteArray wire(const LinkFrame &frame)
{
    uint8_t out[kLinkFrameMaxSize];
    const uint16_t n = writeLinkFrame(frame, out);
    return QByteArray(reinterpret_cast<const char *>(out), n);
}

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
        PtyPair gcs, modem;
        EncryptorManager manager(nullptr);
        QSignalSpy notes(&manager, &EncryptorManager::notification);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        QCOMPARE(runningThreads(manager), 3);
        QTRY_VERIFY(notes.count() >= 1);
        QCOMPARE(notes.at(0).at(0).toString(), QStringLiteral("Выполняется загрузка ключей..."));

        QVERIFY(gcs.write(heartbeat));
        QCoreApplication::processEvents();
        QCOMPARE(modem.readUntilQuiet(300, 600), QByteArray());
        QVERIFY(!manager.isEncryptionEnabled());
    }

    void successWritesTheIdAndStartsTheRelay_data()
    {
        QTest::addColumn<int>("netId");
        QTest::newRow("0 is a valid id") << 0;
        QTest::newRow("only the low byte reaches the modem") << 300;
    }

    void successWritesTheIdAndStartsTheRelay()
    {
        QFETCH(int, netId);
        PtyPair gcs, modem;
        EncryptorManager manager(nullptr);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        QCOMPARE(runningThreads(manager), 3);

        // The aircraft's first record, sealed before the relay touches the shared state.
        LinkSecurityState &state = LinkSecurityState::instance();
        state.installMasterSecret(state.masterSecret);
        LinkFrame fromAircraft{};
        fromAircraft.startMarker = kLinkFrameStartMarker;
        fromAircraft.endMarker = kLinkFrameEndMarker;
        QVERIFY(protectFrame(state, reinterpret_cast<const uint8_t *>(heartbeat.constData()),
                             static_cast<uint16_t>(heartbeat.size()), fromAircraft));

        QSignalSpy ids(&manager, &EncryptorManager::netIdChanged);
        QSignalSpy enabled(&manager, &EncryptorManager::encryptionEnabledChanged);
        QSignalSpy succeeded(&manager, &EncryptorManager::authSucceeded);
        manager.onAuthSucceeded(netId);

        QCOMPARE(modem.readUntilQuiet(300, 2000), modemCommands(netId));
        QCOMPARE(ids.count(), 1);
        QCOMPARE(ids.at(0).at(0).toInt(), netId);
        QCOMPARE(enabled.count(), 1);
        QCOMPARE(succeeded.count(), 1);
        QVERIFY(manager.isEncryptionEnabled());
        QCOMPARE(runningThreads(manager), 3); // both ports and the encryptor

        // Ground control to aircraft: one Data frame per MAVLink message.
        QVERIFY(gcs.write(heartbeat));
        const QList<LinkFrame> frames = parseFrames(modem.readUntilQuiet(200, 3000));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.at(0).type, uint8_t(LinkFrameType::Data));
        QCOMPARE(int(frames.at(0).length), heartbeat.size());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(frames.at(0).sequence), 8),
                 QByteArray::fromHex("0000000000000002"));

        // Aircraft to ground control: the record comes out as the MAVLink frame it carried.
        QVERIFY(modem.write(wire(fromAircraft)));
        QCOMPARE(gcs.readUntilQuiet(200, 3000), heartbeat);
        // Nothing from either side leaks back to where it came from.
        QCOMPARE(modem.readUntilQuiet(100, 300), QByteArray());
    }

    void successWhileRelayingKeepsTheFlag()
    {
        PtyPair gcs, modem;
        EncryptorManager manager(nullptr);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        manager.onAuthSucceeded(1);
        QVERIFY(manager.isEncryptionEnabled());
        modem.readUntilQuiet(100, 500);

        QSignalSpy ids(&manager, &EncryptorManager::netIdChanged);
        QSignalSpy enabled(&manager, &EncryptorManager::encryptionEnabledChanged);
        QSignalSpy succeeded(&manager, &EncryptorManager::authSucceeded);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        // The relay is not left running beside a new authentication.
        QCOMPARE(runningThreads(manager), 3);
        manager.onAuthSucceeded(2);
        QCOMPARE(ids.count(), 1);
        QCOMPARE(ids.at(0).at(0).toInt(), 2);
        QCOMPARE(succeeded.count(), 1);
        QCOMPARE(enabled.count(), 0);
        QVERIFY(manager.isEncryptionEnabled());
    }

    void callsDuringAnOperationRunAfterIt()
    {
        PtyPair gcs, modem;
        EncryptorManager manager(nullptr);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        // A second click on start, queued while the window hangs in the hand-over.
        QMetaObject::invokeMethod(&manager, "initialize", Qt::QueuedConnection,
                                  Q_ARG(QString, gcs.slavePath()), Q_ARG(QString, QString()),
                                  Q_ARG(QString, modem.slavePath()));
        manager.onAuthSucceeded(5);
        QCOMPARE(runningThreads(manager), 3); // ports and encryptor, no authentication beside it
        QTRY_COMPARE(gcs.openCountInProcess(), 1);
        QTest::qWait(200);
        // The restart ran afterwards: ports and authentication, the relay stopped.
        QCOMPARE(runningThreads(manager), 3);
        modem.readUntilQuiet(100, 500);
        QVERIFY(gcs.write(heartbeat));
        QCOMPARE(modem.readUntilQuiet(200, 600), QByteArray());
    }

    void failedRestartLeavesNothingRunning()
    {
        PtyPair gcs, modem;
        EncryptorManager manager(nullptr);
        QSignalSpy notes(&manager, &EncryptorManager::notification);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        QCOMPARE(runningThreads(manager), 3);
        QTRY_VERIFY(notes.count() >= 1);
        manager.initialize(gcs.slavePath(), QString(), QStringLiteral("/dev/ttyNOPE"));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(runningThreads(manager), 0);
        QTest::qWait(100);
        // The old run's status text does not outlive it.
        QCOMPARE(notes.last().at(0).toString(), QString());
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
        PtyPair gcs, modem;
        EncryptorManager manager(nullptr);
        QSignalSpy ids(&manager, &EncryptorManager::netIdChanged);
        QSignalSpy notes(&manager, &EncryptorManager::notification);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());

        if (when == "after-stop")
            manager.deinitialize();
        QMetaObject::invokeMethod(&manager, "onAuthSucceeded", Qt::QueuedConnection,
                                  Q_ARG(int, 7));
        if (when == "stop")
            manager.deinitialize();
        if (when == "restart")
            manager.initialize(gcs.slavePath(), QString(), modem.slavePath());

        QTest::qWait(300);
        QCOMPARE(ids.count(), 0);
        QVERIFY(!manager.isEncryptionEnabled());
        QCOMPARE(modem.readUntilQuiet(100, 300), QByteArray());
        QCOMPARE(runningThreads(manager), when == "restart" ? 3 : 0);
        if (when != "restart") {
            // After the empty text of the stop nothing of the old run reaches the window.
            QVERIFY(notes.count() >= 1);
            QCOMPARE(notes.last().at(0).toString(), QString());
        }
    }

#ifdef Q_OS_LINUX
    void offeredPortCarriesTheRelay()
    {
        PtyPair modem;
        const QString link = QDir::temp().filePath(
            QStringLiteral("uav-link-test-%1").arg(QCoreApplication::applicationPid()));
        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        manager.initialize(QString(), link, modem.slavePath());
        QCOMPARE(errors.count(), 0);
        QVERIFY(QFileInfo(link).isSymLink());

        QFile client(link);
        QVERIFY(client.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        manager.onAuthSucceeded(9);
        modem.readUntilQuiet(200, 2000);
        QCOMPARE(client.write(heartbeat), qint64(heartbeat.size()));
        const QList<LinkFrame> frames = parseFrames(modem.readUntilQuiet(200, 3000));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(int(frames.at(0).length), heartbeat.size());
        client.close();

        manager.deinitialize();
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    }
#endif
};

QTEST_GUILESS_MAIN(LinkStartupTest)
#include "LinkStartupTest.moc"
