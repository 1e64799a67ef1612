// The serial port worker on real pseudo-terminals: the worker opens the slave, the test
// plays the device on the master.
#include "transport/OrvSerialPort.h"

#include "tests/support/CpuTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <QEvent>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>
#include <stdexcept>

using testsupport::CpuWatch;
using testsupport::LogCapture;
using testsupport::PtyPair;

namespace {

// A worker running in its own thread, as the manager runs it; what it emits is collected
// in the test's thread.
class ThreadedWorker
{
public:
    explicit ThreadedWorker(const QString &port, int baudRate = 57600)
    {
        worker = new OrvSerialPort(port, baudRate);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        QObject::connect(
            worker, &OrvSerialPort::dataArrived, &collector,
            [this](const QByteArray &chunk) {
                received += chunk;
                ++chunks;
            },
            Qt::QueuedConnection);
        worker->moveToThread(&thread);
        thread.start();
    }
    ~ThreadedWorker() { stop(); }

    void send(const QByteArray &bytes)
    {
        QMetaObject::invokeMethod(worker, "writeData", Qt::QueuedConnection,
                                  Q_ARG(QByteArray, bytes));
    }
    void stop()
    {
        thread.quit();
        thread.wait();
    }

    QObject collector;
    QByteArray received;
    int chunks = 0;
    QThread thread;
    OrvSerialPort *worker = nullptr;
};

QByteArray allByteValues(int repeat)
{
    QByteArray out;
    for (int r = 0; r < repeat; ++r)
        for (int v = 0; v < 256; ++v)
            out.append(char(v));
    return out;
}

// Splits bytes into chunks whose sizes are drawn from [1, maxChunk].
QVector<QByteArray> splitRandomly(const QByteArray &bytes, int maxChunk, quint32 seed)
{
    QRandomGenerator random(seed);
    QVector<QByteArray> out;
    for (int at = 0; at < bytes.size();) {
        const int n = qMin(bytes.size() - at, 1 + int(random.bounded(quint32(maxChunk))));
        out.append(bytes.mid(at, n));
        at += n;
    }
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
    void bytesPassBothWaysInAnyChunking_data();
    void bytesPassBothWaysInAnyChunking();
    void writesQueuedBeforeTheLoopRunsGoOutAsOneWrite();
    void bytesLeftOnTheLineBeforeOpeningAreDropped();
    void emptyReadWithoutErrorIsStillEmitted();
    void openFailureThrowsAndLogsTheReason_data();
    void openFailureThrowsAndLogsTheReason();
    void speedIsReportedOnceASecond();
    void hangUpIsLoggedOnceClosesThePortAndDoesNotSpin();
};

void OrvSerialPortTest::bytesPassBothWaysInAnyChunking_data()
{
    QTest::addColumn<int>("maxChunk");
    QTest::addColumn<int>("pauseEveryChunks");
    // Single bytes, MAVLink-sized pieces, and blocks larger than one pty read.
    QTest::newRow("single bytes") << 1 << 64;
    QTest::newRow("up to 280") << 280 << 4;
    QTest::newRow("up to 5000") << 5000 << 1;
}

void OrvSerialPortTest::bytesPassBothWaysInAnyChunking()
{
    QFETCH(int, maxChunk);
    QFETCH(int, pauseEveryChunks);
    PtyPair pty;
    QVERIFY(pty.isOpen());
    ThreadedWorker w(pty.slavePath());

    // Every byte value, so a line left in cooked mode (CR, ^C, ^D, XON/XOFF) would show.
    const QByteArray inbound = allByteValues(8);
    const QVector<QByteArray> inChunks = splitRandomly(inbound, maxChunk, 7);
    for (int i = 0; i < inChunks.size(); ++i) {
        QVERIFY(pty.write(inChunks[i]));
        if (i % pauseEveryChunks == 0)
            QTest::qWait(1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.received.size(), inbound.size(), 10000);
    QCOMPARE(w.received, inbound);

    const QByteArray outbound = allByteValues(8);
    for (const QByteArray &chunk : splitRandomly(outbound, maxChunk, 11))
        w.send(chunk);
    QCOMPARE(pty.readExactly(outbound.size(), 10000), outbound);
    // Nothing is sent twice.
    QCOMPARE(pty.readUntilQuiet(100), QByteArray());
}

void OrvSerialPortTest::writesQueuedBeforeTheLoopRunsGoOutAsOneWrite()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    OrvSerialPort worker(pty.slavePath(), 57600);
    auto *port = worker.findChild<QSerialPort *>();
    QVERIFY(port);

    // Records, as each queued write() starts, how much the port has been handed so far.
    class WriteProbe : public QObject
    {
    public:
        explicit WriteProbe(QSerialPort *p) : port(p) {}
        QVector<qint64> handedAtEachWrite;

    protected:
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::MetaCall)
                handedAtEachWrite.append(port->bytesToWrite());
            return false;
        }

    private:
        QSerialPort *port;
    } probe(port);
    worker.installEventFilter(&probe);

    worker.writeData("first,");
    worker.writeData("second");
    QCOMPARE(port->bytesToWrite(), qint64(0)); // nothing is written inside writeData
    QCoreApplication::sendPostedEvents(&worker, QEvent::MetaCall);
    worker.removeEventFilter(&probe);

    // The first write() hands over both chunks; the second finds nothing to do.
    QCOMPARE(probe.handedAtEachWrite, (QVector<qint64>{0, 12}));
    QCOMPARE(port->bytesToWrite(), qint64(12));
    QTest::qWait(20); // let the port's write notifier flush to the line
    QCOMPARE(pty.readUntilQuiet(100), QByteArray("first,second"));
}

void OrvSerialPortTest::bytesLeftOnTheLineBeforeOpeningAreDropped()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    QVERIFY(pty.write("stale bytes from before"));
    QThread::msleep(20);
    ThreadedWorker w(pty.slavePath());
    QVERIFY(pty.write("fresh"));
    QTRY_COMPARE_WITH_TIMEOUT(w.received.size(), 5, 2000);
    QTest::qWait(50);
    QCOMPARE(w.received, QByteArray("fresh"));
}

void OrvSerialPortTest::emptyReadWithoutErrorIsStillEmitted()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    OrvSerialPort worker(pty.slavePath(), 57600);
    QSignalSpy arrived(&worker, &OrvSerialPort::dataArrived);
    worker.readData();
    QCOMPARE(arrived.count(), 1);
    QCOMPARE(arrived.at(0).at(0).toByteArray(), QByteArray());
}

void OrvSerialPortTest::openFailureThrowsAndLogsTheReason_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("holdPortFirst");
    QTest::addColumn<QString>("reason");
    // Reasons as QSerialPort words them on Linux (measured, see the project's Qt notes).
    QTest::newRow("absent path") << "/dev/ttyNOPE" << false << "No such file or directory";
    QTest::newRow("absent short name") << "uavNoSuchPort" << false << "No such file or directory";
    QTest::newRow("busy") << QString() << true << "Permission error while locking the device";
}

void OrvSerialPortTest::openFailureThrowsAndLogsTheReason()
{
    QFETCH(QString, port);
    QFETCH(bool, holdPortFirst);
    QFETCH(QString, reason);
    PtyPair pty;
    QVERIFY(pty.isOpen());
    std::unique_ptr<OrvSerialPort> holder;
    if (holdPortFirst) {
        port = pty.slavePath();
        holder.reset(new OrvSerialPort(port, 57600));
    }
    const int openBefore = pty.openCountInProcess();

    LogCapture log;
    const QString expected = QString("Error opening port %1: %2").arg(port, reason);
    QString thrown;
    try {
        OrvSerialPort worker(port, 57600);
        QFAIL("the constructor returned although the port cannot be opened");
    } catch (const std::runtime_error &e) {
        thrown = QString::fromUtf8(e.what());
    }
    QCOMPARE(thrown, expected);
    QCOMPARE(log.lines(), QStringList{'"' + expected + '"'});
    QCOMPARE(pty.openCountInProcess(), openBefore);
}

void OrvSerialPortTest::speedIsReportedOnceASecond()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    LogCapture log;
    const qint64 createdAt = log.elapsedMs();
    ThreadedWorker w(pty.slavePath());

    QVERIFY(pty.write(QByteArray(300, 'r')));
    w.send(QByteArray(100, 'w'));
    w.send(QByteArray(23, 'w'));
    QCOMPARE(pty.readExactly(123, 2000).size(), 123);
    QTRY_COMPARE_WITH_TIMEOUT(w.received.size(), 300, 2000);

    const QRegularExpression ofThisPort('^' + QRegularExpression::escape('(' + pty.portName() + ')'));
    QTRY_VERIFY_WITH_TIMEOUT(log.linesMatching(ofThisPort).size() >= 4, 3500);
    const QStringList expected{speedLine(pty.portName(), "read", 300),
                               speedLine(pty.portName(), "write", 123),
                               speedLine(pty.portName(), "read", 0),
                               speedLine(pty.portName(), "write", 0)};
    QCOMPARE(log.linesMatching(ofThisPort).mid(0, 4), expected);

    QVector<qint64> readLineTimes;
    for (const LogCapture::Entry &e : log.entries())
        if (e.text.contains("read speed:"))
            readLineTimes.append(e.atMs);
    QVERIFY(readLineTimes.size() >= 2);
    // Single-shot and restarted after each report: never faster than once a second
    // (a coarse QTimer may fire up to 5 % early).
    QVERIFY2(readLineTimes[0] - createdAt >= 950, qPrintable(QString::number(readLineTimes[0])));
    QVERIFY2(readLineTimes[1] - readLineTimes[0] >= 950,
             qPrintable(QString::number(readLineTimes[1] - readLineTimes[0])));
    QVERIFY2(readLineTimes[1] - readLineTimes[0] < 1500,
             qPrintable(QString::number(readLineTimes[1] - readLineTimes[0])));
}

void OrvSerialPortTest::hangUpIsLoggedOnceClosesThePortAndDoesNotSpin()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    LogCapture log;
    ThreadedWorker w(pty.slavePath());
    QCOMPARE(pty.openCountInProcess(), 1);
    QVERIFY(pty.write("before"));
    QTRY_COMPARE_WITH_TIMEOUT(w.received, QByteArray("before"), 2000);

    pty.closeMaster();
    // Qt reports the hang-up as a read error on every event-loop pass; a worker that keeps
    // the port open burns a whole core from here on.
    CpuWatch watch;
    QTest::qWait(1000);
    const double load = watch.load();
    QVERIFY2(load < 0.3, qPrintable(QString("process CPU load %1 after the hang-up").arg(load)));

    const QRegularExpression lost('^' + QRegularExpression::escape(
                                            "Serial port \"" + pty.portName() + "\" lost: "));
    QCOMPARE(log.linesMatching(lost).size(), 1);
    QCOMPARE(pty.openCountInProcess(), 0);

    // Writes to the lost line are dropped quietly, and the worker still reports.
    log.clear();
    for (int i = 0; i < 50; ++i)
        w.send("after");
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(speedLine(pty.portName(), "write", 0)), 2000);
    QCOMPARE(log.linesMatching(QRegularExpression("^Error (reading|writing)")), QStringList());
    QCOMPARE(log.linesMatching(lost), QStringList());

    w.stop();
    QVERIFY(w.thread.isFinished());
}

QTEST_GUILESS_MAIN(OrvSerialPortTest)
#include "OrvSerialPortTest.moc"
