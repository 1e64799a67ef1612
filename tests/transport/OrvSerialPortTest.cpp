// The serial port worker on real pseudo-terminals: the worker opens the slave, the test
// plays the device on the master.
#include "transport/OrvSerialPort.h"

#include "tests/support/CpuTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <QtTest>

#include <memory>
#include <stdexcept>

using testsupport::LogCapture;
using testsupport::PtyPair;

namespace {

// A worker in its own thread, as the manager runs it; its chunks are collected in the test's.
struct ThreadedWorker
{
    explicit ThreadedWorker(const QString &port) : worker(new OrvSerialPort(port, 57600))
    {
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        QObject::connect(worker, &OrvSerialPort::dataArrived, &collector,
                         [this](const QByteArray &chunk) { received += chunk; });
        worker->moveToThread(&thread);
        thread.start();
    }
    ~ThreadedWorker() { stop(); }
    void send(const QByteArray &bytes)
    {
        QMetaObject::invokeMethod(worker, "writeData", Q_ARG(QByteArray, bytes));
    }
    void stop() { thread.quit(); thread.wait(); }

    QObject collector;
    QByteArray received;
    QThread thread;
    OrvSerialPort *worker;
};

// Every byte value, so a line left in cooked mode (CR, ^C, ^D, XON/XOFF) would show.
QByteArray allByteValues()
{
    QByteArray out;
    for (int i = 0; i < 8 * 256; ++i)
        out.append(char(i));
    return out;
}

// Chunks whose sizes are drawn from [1, maxChunk].
QVector<QByteArray> splitRandomly(const QByteArray &bytes, int maxChunk, quint32 seed)
{
    QRandomGenerator random(seed);
    QVector<QByteArray> out;
    for (int at = 0; at < bytes.size(); at += out.last().size())
        out.append(bytes.mid(at, 1 + int(random.bounded(quint32(maxChunk)))));
    return out;
}

QByteArray joined(const QSignalSpy &spy)
{
    QByteArray out;
    for (const QList<QVariant> &arguments : spy)
        out += arguments.at(0).toByteArray();
    return out;
}

QString speedLine(const QString &port, const char *direction, quint64 bytes)
{
    return QString("(%1) %2 speed: %3 B/s").arg(port, direction).arg(bytes);
}

} // namespace

class OrvSerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesPassBothWaysInAnyChunking_data()
    {
        QTest::addColumn<int>("maxChunk");
        QTest::addColumn<int>("pauseEveryChunks");
        // Single bytes, MAVLink-sized pieces, and blocks larger than one pty read.
        QTest::newRow("single bytes") << 1 << 64;
        QTest::newRow("up to 280") << 280 << 4;
        QTest::newRow("up to 5000") << 5000 << 1;
    }
    void bytesPassBothWaysInAnyChunking()
    {
        QFETCH(int, maxChunk);
        QFETCH(int, pauseEveryChunks);
        PtyPair pty;
        // What the line held before the worker opened it belongs to nobody.
        QVERIFY(pty.write("stale bytes from before"));
        QThread::msleep(20);
        ThreadedWorker w(pty.slavePath());

        const QByteArray bytes = allByteValues();
        const QVector<QByteArray> inChunks = splitRandomly(bytes, maxChunk, 7);
        for (int i = 0; i < inChunks.size(); ++i) {
            QVERIFY(pty.write(inChunks[i]));
            if (i % pauseEveryChunks == 0)
                QTest::qWait(1);
        }
        QTRY_VERIFY_WITH_TIMEOUT(w.received.size() >= bytes.size(), 10000);
        QCOMPARE(w.received, bytes);

        for (const QByteArray &chunk : splitRandomly(bytes, maxChunk, 11))
            w.send(chunk);
        QCOMPARE(pty.readExactly(bytes.size(), 10000), bytes);
        QCOMPARE(pty.readUntilQuiet(100), QByteArray()); // nothing is sent twice
    }

    void aBurstIsHandedOnAsOneChunk()
    {
        // A byte-sized read buffer handed a burst on one signal per byte, which could not keep
        // up with the modem's line rate.
        PtyPair pty;
        OrvSerialPort worker(pty.slavePath(), 57600);
        QSignalSpy arrived(&worker, &OrvSerialPort::dataArrived);
        const QByteArray burst = allByteValues();
        QVERIFY(pty.write(burst));
        QThread::msleep(50);  // the whole burst waits on the line before the worker looks
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received = joined(arrived)).size() >= burst.size(), 5000);
        QCOMPARE(received, burst);
        QVERIFY2(arrived.count() <= 2, qPrintable(QString::number(arrived.count())));
    }

    void openFailureThrowsAndLogsTheReason_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("reason");
        // As QSerialPort words them on Linux; an empty port stands for the test's busy pty.
        QTest::newRow("absent path") << "/dev/ttyNOPE" << "No such file or directory";
        QTest::newRow("absent short name") << "uavNoSuchPort" << "No such file or directory";
        QTest::newRow("busy") << QString() << "Permission error while locking the device";
    }
    void openFailureThrowsAndLogsTheReason()
    {
        QFETCH(QString, port);
        QFETCH(QString, reason);
        PtyPair pty;
        std::unique_ptr<OrvSerialPort> holder;
        if (port.isEmpty())
            holder.reset(new OrvSerialPort(port = pty.slavePath(), 57600));
        const int openBefore = pty.openCountInProcess();

        LogCapture log;
        const QString expected = QString("Error opening port %1: %2").arg(port, reason);
        try {
            OrvSerialPort worker(port, 57600);
            QFAIL("the constructor returned although the port cannot be opened");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()), expected);
        }
        QCOMPARE(log.lines(), QStringList{'"' + expected + '"'});
        QCOMPARE(pty.openCountInProcess(), openBefore);
    }

    void hangUpIsLoggedOnceClosesThePortAndDoesNotSpin()
    {
        PtyPair pty;
        LogCapture log;
        ThreadedWorker w(pty.slavePath());
        QCOMPARE(pty.openCountInProcess(), 1);
        QVERIFY(pty.write("before"));
        QTRY_COMPARE_WITH_TIMEOUT(w.received, QByteArray("before"), 2000);

        // Qt reports the hang-up as a read error on every event-loop pass; a worker that
        // keeps the port open burns a whole core from here on.
        pty.closeMaster();
        testsupport::CpuWatch watch;
        QTest::qWait(1000);
        QVERIFY2(watch.load() < 0.3, qPrintable(QString("CPU load %1").arg(watch.load())));
        const QRegularExpression lost(
            '^' + QRegularExpression::escape("Serial port \"" + pty.portName() + "\" lost: "));
        QCOMPARE(log.linesMatching(lost).size(), 1);
        QCOMPARE(pty.openCountInProcess(), 0);

        // Writes to the lost line are dropped quietly, and the worker still reports.
        log.clear();
        for (int i = 0; i < 50; ++i)
            w.send("after");
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(speedLine(pty.portName(), "write", 0)), 2000);
        QCOMPARE(log.linesMatching(QRegularExpression("^Error (reading|writing)|lost: ")),
                 QStringList());
        w.stop();
        QVERIFY(w.thread.isFinished());
    }
};

QTEST_GUILESS_MAIN(OrvSerialPortTest)
#include "OrvSerialPortTest.moc"
