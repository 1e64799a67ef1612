// Writing a network id into the modem: the exact bytes on the line, in order, and the pauses
// between them, seen from the modem's side of a pseudo-terminal.
#include "manager/EncryptorManager.h"

#include "tests/support/PtyPair.h"

#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using testsupport::PtyPair;

class ModemNetworkIdTest : public QObject
{
    Q_OBJECT

private slots:
    void writesTheCommandsWithTheirPauses()
    {
        // Ids above 255 keep their low 8 bits; test mode must not change the modem port's rate.
        const struct
        {
            int netId;
            bool testMode;
            const char *ats3;
        } rows[] = {{0, false, "ATS3=0"}, {255, true, "ATS3=255"}, {256, false, "ATS3=0"},
                    {300, true, "ATS3=44"}};
        struct Run
        {
            PtyPair modem;
            qint64 startUs = 0, endUs = 0;
            QStringList errors;
            QVector<QPair<qint64, QByteArray>> arrivals; // µs on the shared clock, bytes
            speed_t speedWhileWriting = B0;
            int openAfterReturn = -1;
            bool returnedWhileRunning = false; // the caller's thread, the window's, is not held up
        } runs[4];

        // Each routine takes about three seconds, so the four run side by side, each manager
        // in a thread of its own, while this thread reads the modems' side of the lines.
        QElapsedTimer clock;
        clock.start();
        std::vector<std::unique_ptr<QThread>> callers;
        for (int i = 0; i < 4; ++i) {
            callers.emplace_back(QThread::create([&run = runs[i], row = rows[i], &clock] {
                EncryptorManager manager(nullptr);
                manager.setTestMode(row.testMode);
                QObject::connect(&manager, &EncryptorManager::error,
                                 [&run](const QString &e) { run.errors << e; });
                run.startUs = clock.nsecsElapsed() / 1000;
                QEventLoop routine;
                QObject::connect(&manager, &EncryptorManager::modemRoutineRunningChanged, &routine,
                                 &QEventLoop::quit);
                manager.setNetworkId(run.modem.slavePath(), row.netId);
                run.returnedWhileRunning = manager.isModemRoutineRunning();
                if (run.returnedWhileRunning)
                    routine.exec();
                run.endUs = clock.nsecsElapsed() / 1000;
                run.openAfterReturn = run.modem.openCountInProcess();
            }));
            callers.back()->start();
        }
        for (bool last = false; !last; QThread::msleep(1)) {
            last = std::all_of(callers.begin(), callers.end(), [](auto &t) { return t->isFinished(); });
            for (Run &run : runs) {
                const QByteArray chunk = run.modem.readSome(0);
                if (!chunk.isEmpty() && run.arrivals.isEmpty())
                    run.speedWhileWriting = run.modem.outputSpeed();
                if (!chunk.isEmpty())
                    run.arrivals.append({clock.nsecsElapsed() / 1000, chunk});
            }
        }

        for (int i = 0; i < 4; ++i) {
            const Run &run = runs[i];
            // Every AT command goes out with its string's terminating zero byte, the escape without.
            const QByteArray expected = "+++" + QByteArray(rows[i].ats3)
                                        + QByteArray("\r\n\0AT&W\r\n\0ATZ\r\n", 16);
            QByteArray received;
            // Milliseconds from the call's start to the arrival of the byte at offset.
            auto msUntilByte = [&](int offset) {
                int seen = 0;
                for (const auto &a : run.arrivals)
                    if ((seen += a.second.size()) > offset)
                        return double(a.first - run.startUs) / 1000;
                return -1.0;
            };
            for (const auto &a : run.arrivals)
                received += a.second;
            const QString id = QString("netId %1: ").arg(rows[i].netId);
            QVERIFY2(run.errors.isEmpty(), qPrintable(id + run.errors.join("; ")));
            QCOMPARE(received, expected);
            QCOMPARE(int(run.speedWhileWriting), int(B230400));
            QCOMPARE(run.openAfterReturn, 0);
            QVERIFY2(run.returnedWhileRunning, qPrintable(id + "the call waited for the routine"));
            QVERIFY2(msUntilByte(0) >= 1100,
                     qPrintable(id + QString("escape after %1 ms").arg(msUntilByte(0))));
            QVERIFY2(msUntilByte(3) >= 2200, qPrintable(id + "ATS3 too early"));
            QVERIFY2(msUntilByte(expected.indexOf("AT&W")) >= 2450, qPrintable(id + "AT&W too early"));
            QVERIFY2(msUntilByte(expected.indexOf("ATZ")) >= 2700, qPrintable(id + "ATZ too early"));
            // 2950 ms of pauses; the slack is for a shared, busy machine.
            const double callMs = double(run.endUs - run.startUs) / 1000;
            QVERIFY2(callMs >= 2950 && callMs < 3950,
                     qPrintable(id + QString("routine took %1 ms").arg(callMs)));
        }
    }

    void modemPortThatCannotOpenWritesNothing_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("reason");
        // As QSerialPort words them on Linux; an empty port stands for one the relay holds.
        QTest::newRow("absent") << "/dev/ttyNOPE" << "No such file or directory";
        QTest::newRow("busy") << QString() << "Permission error while locking the device";
    }
    void modemPortThatCannotOpenWritesNothing()
    {
        QFETCH(QString, port);
        QFETCH(QString, reason);
        PtyPair modem, gcs;
        EncryptorManager holder(nullptr);
        if (port.isEmpty()) {
            holder.initialize(gcs.slavePath(), QString(), port = modem.slavePath());
            QCOMPARE(modem.openCountInProcess(), 1);
        }
        const QString expected = QString("Error opening port %1: %2").arg(port, reason);

        EncryptorManager manager(nullptr);
        QSignalSpy errors(&manager, &EncryptorManager::error);
        QSignalSpy netIds(&manager, &EncryptorManager::netIdChanged);
        QElapsedTimer took;
        took.start();
        manager.setNetworkId(port, 7);
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString("returned after %1 ms").arg(took.elapsed())));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), expected);
        QCOMPARE(netIds.count(), 0);
        QCOMPARE(modem.readUntilQuiet(50, 200), QByteArray());
    }
};

QTEST_GUILESS_MAIN(ModemNetworkIdTest)
#include "ModemNetworkIdTest.moc"
