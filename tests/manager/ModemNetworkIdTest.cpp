// Writing a network id into the modem: the exact bytes on the line, in order, and the pauses
// between them, seen from the modem's side of a pseudo-terminal.
#include "manager/EncryptorManager.h"

#include "tests/support/CpuTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using testsupport::LogCapture;
using testsupport::monotonicMicroseconds;
using testsupport::PtyPair;

namespace {

// What arrived on the modem's side of the line, and when (µs on the monotonic clock).
struct Arrival
{
    int64_t atUs;
    QByteArray bytes;
};

// One setNetworkId call with its own manager in its own thread, and a reader on the
// modem's side of the line.
struct ModemRun
{
    int netId = 0;
    bool testMode = false;
    PtyPair modem;
    int64_t startUs = 0;
    int64_t endUs = 0;
    QStringList errors;
    std::vector<Arrival> arrivals;
    speed_t speedWhileWriting = B0;
    int openAfterReturn = -1;

    QByteArray received() const
    {
        QByteArray all;
        for (const Arrival &a : arrivals)
            all += a.bytes;
        return all;
    }
    // Milliseconds from the call's start to the arrival of the byte at offset.
    double msUntilByte(int offset) const
    {
        int seen = 0;
        for (const Arrival &a : arrivals) {
            seen += a.bytes.size();
            if (seen > offset)
                return double(a.atUs - startUs) / 1000.0;
        }
        return -1;
    }
};

QByteArray commandsFor(const char *ats3)
{
    return QByteArray("+++", 3) + QByteArray(ats3) + QByteArray("\r\n", 3)
           + QByteArray("AT&W\r\n", 7) + QByteArray("ATZ\r\n", 6);
}

} // namespace

class ModemNetworkIdTest : public QObject
{
    Q_OBJECT

private slots:
    void writesTheCommandsWithTheirPauses();
    void modemPortThatCannotOpenWritesNothing_data();
    void modemPortThatCannotOpenWritesNothing();
};

void ModemNetworkIdTest::writesTheCommandsWithTheirPauses()
{
    struct Row
    {
        int netId;
        bool testMode;
        const char *ats3;
    };
    // Ids above 255 keep their low 8 bits: 256 -> 0, 300 -> 44. Test mode must not change
    // the modem port's rate.
    const Row rows[] = {{0, false, "ATS3=0"},
                        {255, true, "ATS3=255"},
                        {256, false, "ATS3=0"},
                        {300, true, "ATS3=44"}};

    // Each call blocks its thread for about three seconds, so the four run side by side.
    std::vector<std::unique_ptr<ModemRun>> runs;
    for (const Row &row : rows) {
        runs.push_back(std::make_unique<ModemRun>());
        runs.back()->netId = row.netId;
        runs.back()->testMode = row.testMode;
        QVERIFY(runs.back()->modem.isOpen());
    }

    std::atomic<int> callsRunning{int(runs.size())};
    std::vector<std::thread> readers;
    std::vector<std::unique_ptr<QThread>> callers;
    for (auto &runPtr : runs) {
        ModemRun *run = runPtr.get();
        readers.emplace_back([run, &callsRunning] {
            // Read until every call has returned and the line has gone quiet.
            for (;;) {
                const QByteArray chunk = run->modem.readSome(20);
                if (!chunk.isEmpty()) {
                    if (run->arrivals.empty())
                        run->speedWhileWriting = run->modem.outputSpeed();
                    run->arrivals.push_back({monotonicMicroseconds(), chunk});
                } else if (callsRunning.load() == 0) {
                    break;
                }
            }
        });
        callers.emplace_back(QThread::create([run, &callsRunning] {
            EncryptorManager manager(nullptr);
            manager.setTestMode(run->testMode);
            QObject::connect(&manager, &EncryptorManager::error,
                             [run](const QString &e) { run->errors << e; });
            run->startUs = monotonicMicroseconds();
            manager.setNetworkId(run->modem.slavePath(), run->netId);
            run->endUs = monotonicMicroseconds();
            run->openAfterReturn = run->modem.openCountInProcess();
            --callsRunning;
        }));
        callers.back()->start();
    }
    for (auto &caller : callers)
        QVERIFY(caller->wait(10000));
    for (auto &reader : readers)
        reader.join();

    for (size_t i = 0; i < runs.size(); ++i) {
        const ModemRun &run = *runs[i];
        const QByteArray expected = commandsFor(rows[i].ats3);
        const QString id = QString("netId %1: ").arg(run.netId);
        QVERIFY2(run.errors.isEmpty(), qPrintable(id + run.errors.join("; ")));
        QCOMPARE(run.received(), expected);
        QCOMPARE(int(run.speedWhileWriting), int(B230400));
        QCOMPARE(run.openAfterReturn, 0);

        // Offsets of each command's first byte on the line.
        const int ats3At = 3;
        const int atwAt = expected.indexOf("AT&W");
        const int atzAt = expected.indexOf("ATZ");
        const double callMs = double(run.endUs - run.startUs) / 1000.0;
        const double escapeMs = run.msUntilByte(0);
        QVERIFY2(escapeMs >= 1100, qPrintable(id + QString("escape after %1 ms").arg(escapeMs)));
        QVERIFY2(run.msUntilByte(ats3At) >= 2200, qPrintable(id + "ATS3 too early"));
        QVERIFY2(run.msUntilByte(atwAt) >= 2450, qPrintable(id + "AT&W too early"));
        QVERIFY2(run.msUntilByte(atzAt) >= 2700, qPrintable(id + "ATZ too early"));
        // 2950 ms of pauses; the slack is for a shared, busy machine.
        QVERIFY2(callMs >= 2950 && callMs < 3950, qPrintable(id + QString("call took %1 ms").arg(callMs)));
    }
}

void ModemNetworkIdTest::modemPortThatCannotOpenWritesNothing_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("reason");
    // Reasons as QSerialPort words them on Linux (measured, see the project's Qt notes).
    QTest::newRow("absent") << "/dev/ttyNOPE" << "No such file or directory";
    QTest::newRow("busy") << QString() << "Permission error while locking the device";
}

void ModemNetworkIdTest::modemPortThatCannotOpenWritesNothing()
{
    QFETCH(QString, port);
    QFETCH(QString, reason);
    PtyPair modem;
    PtyPair gcs;
    QVERIFY(modem.isOpen() && gcs.isOpen());
    // A busy port: the relay already holds the modem.
    std::unique_ptr<EncryptorManager> holder;
    if (port.isEmpty()) {
        port = modem.slavePath();
        holder = std::make_unique<EncryptorManager>(nullptr);
        holder->initialize(gcs.slavePath(), QString(), port);
        QCOMPARE(modem.openCountInProcess(), 1);
    }
    const QString expected = QString("Error opening port %1: %2").arg(port, reason);

    EncryptorManager manager(nullptr);
    QSignalSpy errors(&manager, &EncryptorManager::error);
    QSignalSpy netIds(&manager, &EncryptorManager::netIdChanged);
    LogCapture log;
    const int64_t start = monotonicMicroseconds();
    manager.setNetworkId(port, 7);
    const int64_t tookMs = (monotonicMicroseconds() - start) / 1000;

    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), expected);
    // The holder's authentication thread may log its card attempts meanwhile.
    QCOMPARE(log.linesMatching(QRegularExpression("port")),
             (QStringList{'"' + expected + '"', "Error opening serial port"}));
    QCOMPARE(netIds.count(), 0);
    QVERIFY2(tookMs < 1000, qPrintable(QString("returned after %1 ms").arg(tookMs)));
    QCOMPARE(modem.readUntilQuiet(50, 200), QByteArray());
}

QTEST_GUILESS_MAIN(ModemNetworkIdTest)
#include "ModemNetworkIdTest.moc"
