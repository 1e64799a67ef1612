// The manager's port threads on real pseudo-terminals: what it opens, at which rates, what
// it reports when a port will not open, and that every stop leaves nothing running.
#include "manager/EncryptorManager.h"

#include "tests/support/CpuTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>

using testsupport::CpuWatch;
using testsupport::LogCapture;
using testsupport::PtyPair;

namespace {

const QString driverMissing = QStringLiteral("Virtual serial port not found. Does the driver loaded?");

QList<QThread *> threadsOf(const EncryptorManager &manager)
{
    return manager.findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly);
}

int runningThreads(const EncryptorManager &manager)
{
    int running = 0;
    for (QThread *t : threadsOf(manager))
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

} // namespace

class EncryptorManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void ownsFourIdleThreads();
    void emptyInternalPortOpensNothing();
    void portThatCannotOpenStopsBothWorkers_data();
    void portThatCannotOpenStopsBothWorkers();
    void baudRatesOnTheLine_data();
    void baudRatesOnTheLine();
    void deinitializeWhileIdleOnlyClearsTheStatus();
    void initializeAgainReplacesTheWorkers();
    void destructionStopsRunningThreadsQuietly();
    void lostModemIsClosedAndStopStartStillWork();
};

void EncryptorManagerTest::ownsFourIdleThreads()
{
    EncryptorManager manager(nullptr);
    QCOMPARE(threadsOf(manager).size(), 4);
    QCOMPARE(runningThreads(manager), 0);
    QCOMPARE(manager.isEncryptionEnabled(), false);
    QCOMPARE(manager.property("encryptionEnabled"), QVariant(false));
    QCOMPARE(manager.testMode(), false);
}

void EncryptorManagerTest::emptyInternalPortOpensNothing()
{
    PtyPair modem;
    QVERIFY(modem.isOpen());
    EncryptorManager manager(nullptr);
    QSignalSpy errors(&manager, &EncryptorManager::error);
    QSignalSpy notifications(&manager, &EncryptorManager::notification);
    LogCapture log;

    manager.initialize(QString(), QString(), modem.slavePath());

    QCOMPARE(texts(errors), QStringList{driverMissing});
    QCOMPARE(log.lines(), QStringList{driverMissing});
    QCOMPARE(notifications.count(), 0);
    QCOMPARE(modem.openCountInProcess(), 0);
    QCOMPARE(runningThreads(manager), 0);
}

void EncryptorManagerTest::portThatCannotOpenStopsBothWorkers_data()
{
    QTest::addColumn<QString>("internalPort");
    QTest::addColumn<QString>("outputPort");
    QTest::addColumn<QString>("reason");
    // "@a"/"@b" stand for the two pseudo-terminals of the test. Reasons as QSerialPort words
    // them on Linux (measured, see the project's Qt notes).
    QTest::newRow("output absent")
        << "@a" << "/dev/ttyNOPE" << "Error opening port /dev/ttyNOPE: No such file or directory";
    QTest::newRow("output busy")
        << "@a" << "@a" << "Error opening port @a: Permission error while locking the device";
    QTest::newRow("internal absent")
        << "/dev/ttyNOPE" << "@b" << "Error opening port /dev/ttyNOPE: No such file or directory";
}

void EncryptorManagerTest::portThatCannotOpenStopsBothWorkers()
{
    QFETCH(QString, internalPort);
    QFETCH(QString, outputPort);
    QFETCH(QString, reason);
    PtyPair a;
    PtyPair b;
    QVERIFY(a.isOpen() && b.isOpen());
    auto resolve = [&](QString s) {
        return s.replace("@a", a.slavePath()).replace("@b", b.slavePath());
    };
    reason = resolve(reason);

    EncryptorManager manager(nullptr);
    QSignalSpy errors(&manager, &EncryptorManager::error);
    QSignalSpy notifications(&manager, &EncryptorManager::notification);
    LogCapture log;

    manager.initialize(resolve(internalPort), QString(), resolve(outputPort));

    QCOMPARE(texts(errors), QStringList{reason});
    QCOMPARE(log.lines(), (QStringList{'"' + reason + '"', "Error opening serial ports"}));
    QCOMPARE(notifications.count(), 0);
    // A worker that had opened its port is gone with its thread: the port is closed.
    QCOMPARE(a.openCountInProcess(), 0);
    QCOMPARE(b.openCountInProcess(), 0);
    QCOMPARE(runningThreads(manager), 0);
}

void EncryptorManagerTest::baudRatesOnTheLine_data()
{
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<int>("internalSpeed");
    QTest::addColumn<int>("outputSpeed");
    QTest::newRow("normal") << false << int(B57600) << int(B57600);
    QTest::newRow("test mode") << true << int(B230400) << int(B460800);
}

void EncryptorManagerTest::baudRatesOnTheLine()
{
    QFETCH(bool, testMode);
    QFETCH(int, internalSpeed);
    QFETCH(int, outputSpeed);
    PtyPair gcs;
    PtyPair modem;
    QVERIFY(gcs.isOpen() && modem.isOpen());
    // Lines start at a rate neither mode uses, so an untouched line shows.
    for (PtyPair *p : {&gcs, &modem}) {
        termios t{};
        QVERIFY(p->lineSettings(&t));
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        QCOMPARE(tcsetattr(p->masterFd(), TCSANOW, &t), 0);
    }

    EncryptorManager manager(nullptr);
    manager.setTestMode(testMode);
    QSignalSpy errors(&manager, &EncryptorManager::error);
    // The external port name plays no part in opening the ports.
    manager.initialize(gcs.slavePath(), QStringLiteral("/dev/ttyNOPE"), modem.slavePath());

    QCOMPARE(errors.count(), 0);
    QCOMPARE(gcs.openCountInProcess(), 1);
    QCOMPARE(modem.openCountInProcess(), 1);
    QCOMPARE(runningThreads(manager), 3); // both ports and authentication
    QCOMPARE(int(gcs.outputSpeed()), internalSpeed);
    QCOMPARE(int(gcs.inputSpeed()), internalSpeed);
    QCOMPARE(int(modem.outputSpeed()), outputSpeed);
    QCOMPARE(int(modem.inputSpeed()), outputSpeed);

    QSignalSpy notifications(&manager, &EncryptorManager::notification);
    manager.deinitialize();
    QCOMPARE(texts(notifications), QStringList{QString()});
    QCOMPARE(gcs.openCountInProcess(), 0);
    QCOMPARE(modem.openCountInProcess(), 0);
    QCOMPARE(runningThreads(manager), 0);
}

void EncryptorManagerTest::deinitializeWhileIdleOnlyClearsTheStatus()
{
    EncryptorManager manager(nullptr);
    QSignalSpy notifications(&manager, &EncryptorManager::notification);
    QSignalSpy enabledChanges(&manager, &EncryptorManager::encryptionEnabledChanged);
    QSignalSpy netIds(&manager, &EncryptorManager::netIdChanged);
    QSignalSpy errors(&manager, &EncryptorManager::error);

    manager.deinitialize();
    manager.deinitialize();

    QCOMPARE(texts(notifications), (QStringList{QString(), QString()}));
    QCOMPARE(enabledChanges.count(), 0);
    QCOMPARE(netIds.count(), 0);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(manager.isEncryptionEnabled(), false);
}

void EncryptorManagerTest::initializeAgainReplacesTheWorkers()
{
    PtyPair gcs1, modem1, gcs2, modem2;
    QVERIFY(gcs1.isOpen() && modem1.isOpen() && gcs2.isOpen() && modem2.isOpen());
    EncryptorManager manager(nullptr);
    QSignalSpy errors(&manager, &EncryptorManager::error);

    manager.initialize(gcs1.slavePath(), QString(), modem1.slavePath());
    QCOMPARE(modem1.openCountInProcess(), 1);
    manager.initialize(gcs2.slavePath(), QString(), modem2.slavePath());
    QCOMPARE(gcs1.openCountInProcess(), 0);
    QCOMPARE(modem1.openCountInProcess(), 0);
    QCOMPARE(gcs2.openCountInProcess(), 1);
    QCOMPARE(modem2.openCountInProcess(), 1);
    // The first pair's locks were released, so it opens again.
    manager.initialize(gcs1.slavePath(), QString(), modem1.slavePath());
    QCOMPARE(gcs1.openCountInProcess(), 1);
    QCOMPARE(modem1.openCountInProcess(), 1);
    QCOMPARE(gcs2.openCountInProcess(), 0);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(runningThreads(manager), 3); // both ports and authentication
}

void EncryptorManagerTest::destructionStopsRunningThreadsQuietly()
{
    PtyPair gcs, modem;
    QVERIFY(gcs.isOpen() && modem.isOpen());
    auto manager = std::make_unique<EncryptorManager>(nullptr);
    manager->initialize(gcs.slavePath(), QString(), modem.slavePath());
    QCOMPARE(runningThreads(*manager), 3);

    int signalsAfterwards = 0;
    QObject watcher;
    for (auto sig : {&EncryptorManager::notification, &EncryptorManager::error})
        connect(manager.get(), sig, &watcher, [&] { ++signalsAfterwards; });
    connect(manager.get(), &EncryptorManager::encryptionEnabledChanged, &watcher,
            [&] { ++signalsAfterwards; });

    manager.reset();
    QCOMPARE(signalsAfterwards, 0);
    QCOMPARE(gcs.openCountInProcess(), 0);
    QCOMPARE(modem.openCountInProcess(), 0);
}

void EncryptorManagerTest::lostModemIsClosedAndStopStartStillWork()
{
    PtyPair gcs, modem, modem2;
    QVERIFY(gcs.isOpen() && modem.isOpen() && modem2.isOpen());
    EncryptorManager manager(nullptr);
    QSignalSpy errors(&manager, &EncryptorManager::error);
    LogCapture log;
    manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
    QCOMPARE(modem.openCountInProcess(), 1);

    const QString modemName = modem.portName();
    modem.closeMaster(); // the modem is pulled out
    CpuWatch watch;
    QTest::qWait(1000);
    const double load = watch.load();
    QVERIFY2(load < 0.3, qPrintable(QString("process CPU load %1 after the hang-up").arg(load)));
    QCOMPARE(log.linesMatching(QRegularExpression(
                 '^' + QRegularExpression::escape("Serial port \"" + modemName + "\" lost: ")))
                 .size(),
             1);
    QCOMPARE(modem.openCountInProcess(), 0);
    QCOMPARE(gcs.openCountInProcess(), 1);

    manager.deinitialize();
    QCOMPARE(gcs.openCountInProcess(), 0);
    manager.setTestMode(true);
    manager.initialize(gcs.slavePath(), QString(), modem2.slavePath());
    QCOMPARE(errors.count(), 0);
    QCOMPARE(gcs.openCountInProcess(), 1);
    QCOMPARE(modem2.openCountInProcess(), 1);
    QCOMPARE(int(modem2.outputSpeed()), int(B460800));
    manager.deinitialize();
    QCOMPARE(runningThreads(manager), 0);
}

QTEST_GUILESS_MAIN(EncryptorManagerTest)
#include "EncryptorManagerTest.moc"
