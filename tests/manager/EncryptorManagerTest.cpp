// The manager on real pseudo-terminals: what it opens and at which rates, what it reports when
// a port will not open, the AT commands it writes into the modem (bytes, order, pauses), the
// hand-over from authentication to the encrypted relay, and that every stop leaves nothing
// running and a success left over from a stopped or replaced run touches nothing.
#include "manager/EncryptorManager.h"

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "crypto/SelfTest.h"
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

int runningThreads(const EncryptorManager &manager)
{
    int running = 0;
    for (QThread *t : manager.findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly))
        running += t->isRunning() ? 1 : 0;
    return running;
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
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
};

} // namespace

class EncryptorManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (int i = 0; i < 32; ++i)
            secret[i] = static_cast<uint8_t>(0x5A ^ i);
    }

    void portThatCannotOpenStopsBothWorkers_data()
    {
        QTest::addColumn<QString>("internalPort");
        QTest::addColumn<QString>("outputPort");
        QTest::addColumn<QString>("reason");
        // "@a"/"@b" stand for the test's two pseudo-terminals. Reasons as QSerialPort words
        // them on Linux (measured, see the project's Qt notes).
        auto row = [](const char *name, const QString &internal, const QString &output,
                      const QString &reason) { QTest::newRow(name) << internal << output << reason; };
        row("internal empty", "", "@b", "Virtual serial port not found. Does the driver loaded?");
        const QString absent = "Error opening port /dev/ttyNOPE: No such file or directory";
        row("output absent", "@a", "/dev/ttyNOPE", absent);
        row("output busy", "@a", "@a",
            "Error opening port @a: Permission error while locking the device");
        row("internal absent", "/dev/ttyNOPE", "@b", absent);
    }
    void portThatCannotOpenStopsBothWorkers()
    {
        QFETCH(QString, internalPort);
        QFETCH(QString, outputPort);
        QFETCH(QString, reason);
        PtyPair a, b;
        auto resolve = [&](QString s) {
            return s.replace("@a", a.slavePath()).replace("@b", b.slavePath());
        };
        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        QSignalSpy notifications(&manager, &EncryptorManager::notification);
        manager.initialize(resolve(internalPort), QString(), resolve(outputPort));
        QCOMPARE(texts(errors), QStringList{resolve(reason)});
        // A worker that had opened its port is gone with its thread: the port is closed.
        QCOMPARE(a.openCountInProcess() + b.openCountInProcess(), 0);
        QCOMPARE(runningThreads(manager), 0);
        // Nothing was reported and nothing runs: a stop only clears the status, however often.
        manager.deinitialize();
        manager.deinitialize();
        QCOMPARE(texts(notifications), (QStringList{QString(), QString()}));
        QCOMPARE(manager.isEncryptionEnabled(), false);
    }

    void baudRatesOnTheLine_data()
    {
        QTest::addColumn<bool>("testMode");
        QTest::addColumn<int>("internalSpeed");
        QTest::addColumn<int>("outputSpeed");
        QTest::newRow("normal") << false << int(B57600) << int(B57600);
        QTest::newRow("test mode") << true << int(B230400) << int(B460800);
    }
    void baudRatesOnTheLine()
    {
        QFETCH(bool, testMode);
        QFETCH(int, internalSpeed);
        QFETCH(int, outputSpeed);
        PtyPair gcs, modem;
        // Lines start at a rate neither mode uses, so an untouched line shows.
        QVERIFY(gcs.setSpeed(B9600) && modem.setSpeed(B9600));
        EncryptorManager manager(nullptr);
        manager.setTestMode(testMode);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        // The external port name plays no part in opening the ports.
        manager.initialize(gcs.slavePath(), "/dev/ttyNOPE", modem.slavePath());

        QCOMPARE(errors.count(), 0);
        // A line left closed keeps its 9600; how often each opens is the start-again test's.
        QCOMPARE(int(gcs.outputSpeed()), internalSpeed);
        QCOMPARE(int(gcs.inputSpeed()), internalSpeed);
        QCOMPARE(int(modem.outputSpeed()), outputSpeed);
        QCOMPARE(int(modem.inputSpeed()), outputSpeed);
    }

    // How the worker notices a lost modem (once, without spinning) is its own test's business.
    void startAgainReplacesTheWorkersAndALostModemIsClosed()
    {
        Link link;
        PtyPair gcs2, modem2;
        QSignalSpy errors(&link.manager, &EncryptorManager::error);
        auto open = [](PtyPair &p) { return p.openCountInProcess(); };
        link.manager.initialize(gcs2.slavePath(), QString(), modem2.slavePath());
        QCOMPARE((QVector<int>{open(link.gcs), open(link.modem), open(gcs2), open(modem2)}),
                 (QVector<int>{0, 0, 1, 1}));
        // The first pair's locks were released, so it opens again.
        link.start();
        QCOMPARE((QVector<int>{open(link.gcs), open(link.modem), open(gcs2), open(modem2)}),
                 (QVector<int>{1, 1, 0, 0}));
        QCOMPARE(runningThreads(link.manager), 3); // both ports and authentication

        link.modem.closeMaster(); // the modem is pulled out
        QTRY_COMPARE(open(link.modem), 0);
        QCOMPARE(open(link.gcs), 1);
        link.manager.deinitialize();
        QCOMPARE(open(link.gcs), 0);
        link.manager.initialize(gcs2.slavePath(), QString(), modem2.slavePath());
        QCOMPARE(open(gcs2) + open(modem2), 2);
        QCOMPARE(errors.count(), 0);
    }

    // Ids above 255 keep their low 8 bits; test mode must not change the modem port's rate.
    void writesTheCommandsWithTheirPauses()
    {
        PtyPair modem;
        EncryptorManager manager(nullptr);
        manager.setTestMode(true);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        QElapsedTimer clock;
        clock.start();
        manager.setNetworkId(modem.slavePath(), 300);
        // The caller's thread, the window's, is not held up.
        QVERIFY(manager.isModemRoutineRunning());
        QByteArray received;
        QVector<qint64> msUntilByte; // since the call, per byte received
        speed_t speedWhileWriting = B0;
        for (bool running = true; running;) {
            running = manager.isModemRoutineRunning();
            QCoreApplication::processEvents();
            const QByteArray chunk = modem.readSome(running ? 1 : 0);
            if (!chunk.isEmpty() && received.isEmpty())
                speedWhileWriting = modem.outputSpeed();
            received += chunk;
            msUntilByte.insert(msUntilByte.size(), chunk.size(), clock.elapsed());
        }
        const qint64 callMs = clock.elapsed();

        // Every AT command goes out with its string's terminating zero byte, the escape without.
        const QByteArray expected = "+++ATS3=44" + QByteArray("\r\n\0AT&W\r\n\0ATZ\r\n", 16);
        QCOMPARE(texts(errors), QStringList());
        QCOMPARE(received, expected);
        QCOMPARE(int(speedWhileWriting), int(B230400));
        QCOMPARE(modem.openCountInProcess(), 0);
        QVERIFY2(msUntilByte.value(0) >= 1100, qPrintable(QString("escape after %1 ms").arg(msUntilByte[0])));
        QVERIFY2(msUntilByte.value(3) >= 2200, "ATS3 too early");
        QVERIFY2(msUntilByte.value(expected.indexOf("AT&W")) >= 2450, "AT&W too early");
        QVERIFY2(msUntilByte.value(expected.indexOf("ATZ")) >= 2700, "ATZ too early");
        // 2950 ms of pauses; the slack is for a shared, busy machine.
        QVERIFY2(callMs >= 2950 && callMs < 3950, qPrintable(QString("routine took %1 ms").arg(callMs)));
    }

    // As QSerialPort words it on Linux; an absent port fails the same way, as at the start.
    void busyModemPortWritesNothing()
    {
        PtyPair modem, gcs;
        EncryptorManager holder(nullptr);
        holder.initialize(gcs.slavePath(), QString(), modem.slavePath());
        const QString expected = QString("Error opening port %1: Permission error while locking the device")
                                     .arg(modem.slavePath());

        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        QSignalSpy netIds(&manager, &EncryptorManager::netIdChanged);
        QElapsedTimer took;
        took.start();
        manager.setNetworkId(modem.slavePath(), 7);
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString("returned after %1 ms").arg(took.elapsed())));
        QCOMPARE(texts(errors), QStringList{expected});
        QCOMPARE(netIds.count(), 0);
        QCOMPARE(modem.readUntilQuiet(50, 200), QByteArray());
    }

    // Id 0 is a valid id: the pauses test has the others.
    void successWritesTheIdAndStartsTheRelay()
    {
        const int netId = 0;
        Link link;
        QCOMPARE(runningThreads(link.manager), 3);
        QTRY_VERIFY(link.notes.count() >= 1);
        QCOMPARE(link.notes.at(0).at(0).toString(), QStringLiteral("Выполняется загрузка ключей..."));

        // The secret a handshake would leave (the start wiped the keys), and a record sealed at
        // the aircraft's end: the ground refuses its own records. It is the aircraft's second,
        // since the same message as the ground's first record would be that record byte for byte.
        LinkSecurityState::instance().installMasterSecret(secret);
        static LinkSecurityState aircraft;
        aircraft.installMasterSecret(secret);
        LinkFrame fromAircraft{};
        fromAircraft.startMarker = kLinkFrameStartMarker;
        fromAircraft.endMarker = kLinkFrameEndMarker;
        for (int i = 0; i < 2; ++i)
            QVERIFY(protectFrame(aircraft, reinterpret_cast<const uint8_t *>(heartbeat.constData()),
                                 static_cast<uint16_t>(heartbeat.size()), fromAircraft));

        QSignalSpy enabled(&link.manager, &EncryptorManager::encryptionEnabledChanged);
        QSignalSpy succeeded(&link.manager, &EncryptorManager::authSucceeded);
        link.manager.onAuthSucceeded(netId);
        QVERIFY(link.manager.isModemRoutineRunning());
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 8000);
        // Each AT command with its string's zero byte; writesTheCommandsWithTheirPauses has the pauses.
        QCOMPARE(link.modem.readUntilQuiet(300, 2000),
                 "+++ATS3=0" + QByteArray("\r\n\0AT&W\r\n\0ATZ\r\n", 16));
        QCOMPARE(link.ids.count(), 1);
        QCOMPARE(link.ids.at(0).at(0).toInt(), netId);
        QCOMPARE(enabled.count(), 1);
        QVERIFY(link.manager.isEncryptionEnabled());
        QCOMPARE(runningThreads(link.manager), 3); // both ports and the encryptor

        // Ground control to aircraft: one Data frame per MAVLink message.
        QVERIFY(link.gcs.write(heartbeat));
        const QList<LinkFrame> frames =
            parseFrames(link.modem.readExactly(heartbeat.size() + kLinkFrameOverhead, 3000));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.at(0).type, uint8_t(LinkFrameType::Data));
        QCOMPARE(int(frames.at(0).length), heartbeat.size());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(frames.at(0).sequence), 8),
                 QByteArray::fromHex("0000000000000001"));

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
        QCOMPARE(runningThreads(link.manager), 3);
        QVERIFY(!link.manager.isEncryptionEnabled());
        link.manager.onAuthSucceeded(2);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 2, 8000);
        QCOMPARE(link.ids.count(), 2);
        QCOMPARE(link.ids.at(1).at(0).toInt(), 2);
        QCOMPARE(enabled.count(), 3);
        QVERIFY(link.manager.isEncryptionEnabled());
    }

    // A start or a stop while the AT commands go out (a click that the window let through, or a
    // terminal signal to the relay), or while a success still waits in the queue: commands that
    // began finish, nothing of the old run relays, and the flag says what runs.
    void startOrStopRacesTheSuccess_data()
    {
        QTest::addColumn<QString>("success");
        QTest::addColumn<QString>("then");
        QTest::newRow("routine, start again") << "routine" << "start";
        QTest::newRow("routine, start again, modem port gone") << "routine" << "start-fails";
        QTest::newRow("routine, stop") << "routine" << "stop";
        QTest::newRow("queued, stop") << "queued" << "stop";
        QTest::newRow("queued, start again") << "queued" << "start";
        QTest::newRow("queued after the stop") << "after-stop" << "";
    }
    void startOrStopRacesTheSuccess()
    {
        QFETCH(QString, success);
        QFETCH(QString, then);
        const bool restart = then == "start";
        Link link;
        QSignalSpy enabled(&link.manager, &EncryptorManager::encryptionEnabledChanged);
        if (success == "after-stop")
            link.manager.deinitialize();
        if (success == "routine")
            link.manager.onAuthSucceeded(5);
        else
            QMetaObject::invokeMethod(&link.manager, "onAuthSucceeded", Qt::QueuedConnection, Q_ARG(int, 5));
        QCOMPARE(link.manager.isModemRoutineRunning(), success == "routine");
        if (restart)
            link.start();
        else if (then == "start-fails")
            link.manager.initialize(link.gcs.slavePath(), QString(), "/dev/ttyNOPE");
        else if (then == "stop")
            link.manager.deinitialize();
        QVERIFY(!link.manager.isModemRoutineRunning());
        QTest::qWait(300);
        const QByteArray commands = "+++ATS3=5" + QByteArray("\r\n\0AT&W\r\n\0ATZ\r\n", 16);
        QCOMPARE(link.modem.readUntilQuiet(100, 500), success == "routine" ? commands : QByteArray());
        QCOMPARE(enabled.count(), 0);
        QVERIFY(!link.manager.isEncryptionEnabled());
        QCOMPARE(link.ids.count(), 0);
        // Started again: ports and authentication, no relay; stopped: nothing, status cleared
        // and nothing of the old run after it.
        QCOMPARE(runningThreads(link.manager), restart ? 3 : 0);
        QCOMPARE(link.manager.linkHealth()->stateName(), restart ? "Authenticating" : "Stopped");
        if (!restart)
            QCOMPARE(link.notes.last().at(0).toString(), QString());
        if (restart) {
            QVERIFY(link.gcs.write(heartbeat));
            QCOMPARE(link.modem.readUntilQuiet(200, 600), QByteArray());
        }
    }

    // A primitive that fails its known answer ends the start before the card is read: the
    // reason stays on the status line, the relay learns it through error, nothing runs on.
    void brokenPrimitiveStopsTheStart()
    {
        breakSelfTestForTesting(kSelfTestRecord);
        Link link;
        QSignalSpy errors(&link.manager, &EncryptorManager::error);
        QTRY_COMPARE(errors.count(), 1);
        breakSelfTestForTesting(kSelfTestCount);  // the authentication thread has ended
        const QString reason = QStringLiteral("Ошибка самопроверки шифрования (record). Запуск остановлен");
        QCOMPARE(errors.at(0).at(0).toString(), reason);
        QCOMPARE(link.notes.last().at(0).toString(), reason);
        QCOMPARE(runningThreads(link.manager), 0);
        for (const QList<QVariant> &note : link.notes)
            QVERIFY(note.at(0).toString() != QStringLiteral("Выполняется загрузка ключей..."));
        QVERIFY(!LinkSecurityState::instance().masterSecretInstalled());
    }

private:
    uint8_t secret[32];
};

QTEST_GUILESS_MAIN(EncryptorManagerTest)
#include "EncryptorManagerTest.moc"
