// The serial port worker on real pseudo-terminals: the worker opens the slave, the test
// plays the device on the master.
#include "transport/OrvSerialPort.h"

#include "tests/support/CpuTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <QtTest>

#include <memory>

using testsupport::PtyPair;

namespace {

// A worker in its own thread, as the manager runs it; what it reports is collected in the test's.
struct ThreadedWorker
{
    explicit ThreadedWorker(const QString &port) : worker(new OrvSerialPort(port, 57600))
    {
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        QObject::connect(worker, &OrvSerialPort::dataArrived, &collector,
                         [this](const QByteArray &chunk) { received += chunk; });
        QObject::connect(worker, &OrvSerialPort::portLost, &collector, [this] { ++lost; });
        QObject::connect(worker, &OrvSerialPort::portRestored, &collector, [this] { ++restored; });
        worker->moveToThread(&thread);
        thread.start();
    }
    ~ThreadedWorker() { thread.quit(); thread.wait(); }
    void send(const QByteArray &bytes)
    {
        QMetaObject::invokeMethod(worker, "writeData", Q_ARG(QByteArray, bytes));
    }

    QObject collector;
    QByteArray received;
    int lost = 0, restored = 0;
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

} // namespace

class OrvSerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesPassBothWaysInAnyChunking_data()
    {
        QTest::addColumn<int>("maxChunk");
        QTest::addColumn<int>("pauseEveryChunks");
        // Single bytes, and blocks larger than one pty read.
        QTest::newRow("single bytes") << 1 << 64;
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
        QByteArray received;
        int chunks = 0;
        connect(&worker, &OrvSerialPort::dataArrived, this, [&](const QByteArray &chunk) {
            received += chunk;
            ++chunks;
        });
        QVERIFY(pty.write(allByteValues()));
        QThread::msleep(50);  // the whole burst waits on the line before the worker looks
        QTRY_COMPARE_WITH_TIMEOUT(received, allByteValues(), 5000);
        QVERIFY2(chunks <= 2, qPrintable(QString::number(chunks)));
    }

    // A modem unplugged and plugged in again under the same name: the worker closes the lost
    // port, idles, drops what is sent meanwhile, and opens the name again once it leads to a device.
    void aLostPortIsClosedAndOpenedAgain_data()
    {
        QTest::addColumn<int>("awayMs");
        // Back before the first retry, and back only after a few retries found nothing.
        QTest::newRow("back at once") << 300;
        QTest::newRow("away 2.5 s") << 2500;
    }
    void aLostPortIsClosedAndOpenedAgain()
    {
        QFETCH(int, awayMs);
        QTemporaryDir dir;
        const QString link = dir.filePath("modem");
        auto device = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(device->slavePath(), link));
        ThreadedWorker w(link);
        QVERIFY(device->write("before"));
        QTRY_COMPARE_WITH_TIMEOUT(w.received, QByteArray("before"), 2000);
        QCOMPARE(device->openCountInProcess(), 1);

        // Qt reports the hang-up as a read error on every event-loop pass; a worker that
        // keeps the port open burns a whole core from here on.
        testsupport::LogCapture log;
        device->closeMaster();
        QTRY_COMPARE_WITH_TIMEOUT(w.lost, 1, 2000);
        QCOMPARE(device->openCountInProcess(), 0);
        device.reset();
        QFile::remove(link);
        for (int i = 0; i < 50; ++i)
            w.send("after");
        const testsupport::CpuWatch watch;
        QTest::qWait(awayMs);
        QVERIFY2(watch.load() < 0.3, qPrintable(QString("CPU load %1").arg(watch.load())));
        QCOMPARE(w.restored, 0);
        QCOMPARE(log.linesMatching(QRegularExpression("^Error (reading|writing)")), QStringList());

        device = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(device->slavePath(), link));
        QTRY_COMPARE_WITH_TIMEOUT(w.restored, 1, 2500);
        QVERIFY(device->write("after"));
        QTRY_COMPARE_WITH_TIMEOUT(w.received, QByteArray("beforeafter"), 2000);
        w.send("out");
        QCOMPARE(device->readExactly(3, 2000), QByteArray("out"));  // nothing hoarded while away
        QCOMPARE(w.lost, 1);
    }
};

QTEST_GUILESS_MAIN(OrvSerialPortTest)
#include "OrvSerialPortTest.moc"
