// The manager's port threads on real pseudo-terminals: what it opens, at which rates, what
// it reports when a port will not open, and that every stop leaves nothing running.
#include "manager/EncryptorManager.h"

#include "tests/support/PtyPair.h"

#include <QtTest>

#include <memory>

using testsupport::PtyPair;

namespace {

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

} // namespace

class EncryptorManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void portThatCannotOpenStopsBothWorkers_data()
    {
        QTest::addColumn<QString>("internalPort");
        QTest::addColumn<QString>("outputPort");
        QTest::addColumn<QString>("reason");
        // "@a"/"@b" stand for the test's two pseudo-terminals. Reasons as QSerialPort words
        // them on Linux (measured, see the project's Qt notes).
        const QString noDriver = "Virtual serial port not found. Does the driver loaded?";
        QTest::newRow("internal empty") << "" << "@b" << noDriver;
        auto row = [](const char *name, const QString &internal, const QString &output,
                      const QString &reason) { QTest::newRow(name) << internal << output << reason; };
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
        QCOMPARE(notifications.count(), 0);
        // A worker that had opened its port is gone with its thread: the port is closed.
        QCOMPARE(a.openCountInProcess() + b.openCountInProcess(), 0);
        QCOMPARE(runningThreads(manager), 0);
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
        QCOMPARE(gcs.openCountInProcess() + modem.openCountInProcess(), 0);
        QCOMPARE(runningThreads(manager), 0);
    }

    void deinitializeWhileIdleOnlyClearsTheStatus()
    {
        EncryptorManager manager(nullptr);
        QSignalSpy notifications(&manager, &EncryptorManager::notification);
        QSignalSpy enabledChanges(&manager, &EncryptorManager::encryptionEnabledChanged);
        QSignalSpy netIds(&manager, &EncryptorManager::netIdChanged);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        manager.deinitialize();
        manager.deinitialize();
        QCOMPARE(texts(notifications), (QStringList{QString(), QString()}));
        QCOMPARE(enabledChanges.count() + netIds.count() + errors.count(), 0);
        QCOMPARE(manager.isEncryptionEnabled(), false);
    }

    void initializeAgainReplacesTheWorkers()
    {
        PtyPair gcs1, modem1, gcs2, modem2;
        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        auto open = [](PtyPair &p) { return p.openCountInProcess(); };

        manager.initialize(gcs1.slavePath(), QString(), modem1.slavePath());
        QCOMPARE(open(modem1), 1);
        manager.initialize(gcs2.slavePath(), QString(), modem2.slavePath());
        QCOMPARE((QVector<int>{open(gcs1), open(modem1), open(gcs2), open(modem2)}),
                 (QVector<int>{0, 0, 1, 1}));
        // The first pair's locks were released, so it opens again.
        manager.initialize(gcs1.slavePath(), QString(), modem1.slavePath());
        QCOMPARE((QVector<int>{open(gcs1), open(modem1), open(gcs2), open(modem2)}),
                 (QVector<int>{1, 1, 0, 0}));
        QCOMPARE(errors.count(), 0);
        QCOMPARE(runningThreads(manager), 3); // both ports and authentication
    }

    void destructionStopsRunningThreadsQuietly()
    {
        PtyPair gcs, modem;
        auto manager = std::make_unique<EncryptorManager>(nullptr);
        manager->initialize(gcs.slavePath(), QString(), modem.slavePath());
        QCOMPARE(runningThreads(*manager), 3);

        int signalsAfterwards = 0;
        QObject watcher;
        auto count = [&] { ++signalsAfterwards; };
        connect(manager.get(), &EncryptorManager::notification, &watcher, count);
        connect(manager.get(), &EncryptorManager::error, &watcher, count);
        connect(manager.get(), &EncryptorManager::encryptionEnabledChanged, &watcher, count);
        manager.reset();
        QCOMPARE(signalsAfterwards, 0);
        QCOMPARE(gcs.openCountInProcess() + modem.openCountInProcess(), 0);
    }

    // How the worker notices the loss (once, without spinning) is its own test's business.
    void lostModemIsClosedAndStopStartStillWork()
    {
        PtyPair gcs, modem, modem2;
        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        manager.initialize(gcs.slavePath(), QString(), modem.slavePath());
        QCOMPARE(modem.openCountInProcess(), 1);
        modem.closeMaster(); // the modem is pulled out
        QTRY_COMPARE(modem.openCountInProcess(), 0);
        QCOMPARE(gcs.openCountInProcess(), 1);

        manager.deinitialize();
        QCOMPARE(gcs.openCountInProcess(), 0);
        manager.setTestMode(true);
        manager.initialize(gcs.slavePath(), QString(), modem2.slavePath());
        QCOMPARE(errors.count(), 0);
        QCOMPARE(gcs.openCountInProcess() + modem2.openCountInProcess(), 2);
        QCOMPARE(int(modem2.outputSpeed()), int(B460800));
        manager.deinitialize();
        QCOMPARE(runningThreads(manager), 0);
    }
};

QTEST_GUILESS_MAIN(EncryptorManagerTest)
#include "EncryptorManagerTest.moc"
