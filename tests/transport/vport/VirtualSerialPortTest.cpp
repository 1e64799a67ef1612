// The virtual port on real pseudo-terminals: a client opens the stable link the way a
// ground-control program would (plain open() or QSerialPort) and talks to the worker.
#include "tests/support/CpuTime.h"
#include "transport/VirtualSerialPort.h"

#include <QSerialPort>
#include <QtTest>

#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Every byte value, and no period of 256, so that a lost or repeated block shows.
QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 37 + i / 256 + seed) & 0xff);
    return bytes;
}

int openDescriptors()
{
    return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size();
}

// A spinning notifier burns hundreds of milliseconds in a second; idling costs a few.
bool idlesForASecond()
{
    const testsupport::CpuWatch cpu;
    QTest::qWait(1000);
    const qint64 usedMs = cpu.cpuMicroseconds() / 1000;
    if (usedMs >= 100)
        qWarning("%lld ms of CPU in 1000 ms", usedMs);
    return usedMs < 100;
}

// A client that leaves the line cooked and echoing.
bool cookAndClose(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
    termios cooked{};
    const bool done = ::tcgetattr(fd, &cooked) == 0;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL;
    cooked.c_oflag |= OPOST | ONLCR;
    return ::tcsetattr(fd, TCSANOW, &cooked) == 0 && ::close(fd) == 0 && done;
}

// The ground-control side on the link path: a bare descriptor, or a QSerialPort. While it
// waits for its bytes, the worker's loop runs.
struct Client
{
    bool serial;
    QString path;
    int fd = -1;
    std::unique_ptr<QSerialPort> port;

    Client(bool serial, const QString &path) : serial(serial), path(path) {}
    ~Client() { close(); }
    bool isOpen() const { return fd >= 0 || port; }
    bool open()
    {
        if (serial)
            return (port = std::make_unique<QSerialPort>(path))->open(QIODevice::ReadWrite);
        return (fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) >= 0;
    }
    void close()
    {
        port.reset();
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool send(const QByteArray &data)
    {
        int done = serial ? int(port->write(data)) : 0;
        return QTest::qWaitFor([&] {
            if (serial)
                return port->bytesToWrite() == 0;
            const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
            done += int(qMax<ssize_t>(0, n));
            return done == data.size();
        });
    }
    // Reads until `size` bytes came or `timeoutMs` passed.
    QByteArray receive(int size, int timeoutMs = 5000)
    {
        QByteArray got;
        char buffer[65536];
        (void)QTest::qWaitFor([&] {
            got += serial ? port->readAll()
                          : QByteArray(buffer, int(qMax<ssize_t>(0, ::read(fd, buffer, sizeof buffer))));
            return got.size() >= size;
        }, timeoutMs);
        return got;
    }
};

// Collects what the worker emits, in the thread of the test.
struct Received
{
    QObject context;
    QByteArray bytes;
    explicit Received(VirtualSerialPort *worker)
    {
        QObject::connect(worker, &VirtualSerialPort::dataArrived, &context,
                         [this](const QByteArray &chunk) { bytes += chunk; });
    }
    bool waitForSize(int size) { return QTest::qWaitFor([&] { return bytes.size() >= size; }); }
};

} // namespace

class VirtualSerialPortTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString linkIn(const char *name) const { return dir.filePath(QLatin1String(name)); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void createsLinkToSlaveInPlaceOfWhatWasThere_data()
    {
        QTest::addColumn<QString>("leftOver");
        QTest::newRow("nothing") << "";
        QTest::newRow("dangling link of an earlier run") << "link:/dev/pts/65000";
        QTest::newRow("plain file") << "file";
    }
    void createsLinkToSlaveInPlaceOfWhatWasThere()
    {
        QFETCH(QString, leftOver);
        const QString path = linkIn("gcs");
        QFile::remove(path);
        if (leftOver.startsWith("link:"))
            QVERIFY(QFile::link(leftOver.mid(5), path));
        QFile file(path);
        if (leftOver == "file")
            QVERIFY(file.open(QIODevice::WriteOnly));

        VirtualSerialPort worker(path);
        QVERIFY(worker.slaveName().startsWith("/dev/pts/"));
        QCOMPARE(QFileInfo(path).symLinkTarget(), worker.slaveName());
    }

    void bytesFlowBothWays_data()
    {
        QTest::addColumn<int>("size");
        // Around the 4 KiB read chunks and the 16 KiB the pseudo-terminal holds, and far past.
        for (int size : {1, 2, 255, 256, 4095, 4096, 4097, 16383, 16384, 16385, 65536, 300000})
            QTest::addRow("%d bytes", size) << size;
    }
    void bytesFlowBothWays()
    {
        QFETCH(int, size);
        const QString path = linkIn("flow");
        VirtualSerialPort worker(path);
        Received received(&worker);
        Client client{false, path};
        QVERIFY(client.open());

        QVERIFY(client.send(pattern(size, 1)));
        QVERIFY(received.waitForSize(size));
        QCOMPARE(received.bytes, pattern(size, 1));
        // Queued in pieces before the worker's loop runs, so that its first write gathers them.
        for (int at = 0; at < size; at += 700)
            worker.writeData(pattern(size, 2).mid(at, 700));
        QCOMPARE(client.receive(size), pattern(size, 2));
    }

    void nothingStaleAfterReopen_data()
    {
        QTest::addColumn<bool>("serial");
        // Then: open if closed, fresh bytes both ways, and nothing else.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("staleSize");
        QTest::newRow("before the first client") << false << "idle write idle" << 100;
        QTest::newRow("after the client closed") << false << "open close idle write wait" << 100;
        QTest::newRow("as the client closed") << false << "open close write wait" << 100;
        QTest::newRow("more than the terminal holds") << false << "open close wait write wait" << 100000;
        QTest::newRow("QSerialPort, after it closed") << true << "open close wait write wait" << 100;
        QTest::newRow("QSerialPort, reopened") << true << "open close open close" << 0;
        // A client that leaves the terminal cooked and echoing must not spoil the next one.
        QTest::newRow("after a cooked client") << false << "cook wait write wait" << 100;
        QTest::newRow("left unread at close") << false << "open write wait close idle" << 100;
        QTest::newRow("held for a client that stopped reading")
            << false << "open write wait close wait" << 200000;
        // The close and the open reach the worker together; the client reads only after that.
        QTest::newRow("reopened before the worker saw the close")
            << false << "open write wait close open wait" << 100;
    }
    void nothingStaleAfterReopen()
    {
        QFETCH(bool, serial);
        QFETCH(QString, steps);
        QFETCH(int, staleSize);
        const QString path = linkIn("stale");
        VirtualSerialPort worker(path);
        Received received(&worker);
        Client client{serial, path};
        for (const QString &step : steps.split(' ')) {
            if (step == "open")
                QVERIFY(client.open());
            else if (step == "close")
                client.close();
            else if (step == "write")
                worker.writeData(QByteArray(staleSize, 'S'));
            else if (step == "cook")
                QVERIFY(cookAndClose(path));
            else if (step == "idle")
                QVERIFY(idlesForASecond());
            else
                QTest::qWait(20);
        }
        QVERIFY(client.isOpen() || client.open());
        QVERIFY(client.send(pattern(300, 8)));
        QVERIFY(received.waitForSize(300));
        worker.writeData(pattern(300, 7));
        QCOMPARE(client.receive(301, 300), pattern(300, 7));
        QCOMPARE(received.bytes, pattern(300, 8)); // no echo of what the worker wrote came back
    }

    // A port scanner opening and closing the port while the client stays: the client's
    // pending bytes and its later ones all arrive, in order.
    void secondOpenerLeavesTheClientAlone()
    {
        const QString path = linkIn("second");
        VirtualSerialPort worker(path);
        Received received(&worker);
        Client client{false, path}, other{false, path};
        QVERIFY(client.open());
        QTest::qWait(20);
        worker.writeData(pattern(200000, 5));  // more than the terminal holds: some stays queued
        QVERIFY(idlesForASecond());            // while the client does not read
        QVERIFY(other.open());
        QTest::qWait(20);
        other.close();
        QTest::qWait(20);
        worker.writeData(pattern(100, 6));
        QCOMPARE(client.receive(200100), pattern(200000, 5) + pattern(100, 6));
        QVERIFY(client.send("still here"));
        QVERIFY(received.waitForSize(10));
    }

    void cleansUpOnDestruction_data()
    {
        QTest::addColumn<bool>("takenOver");
        QTest::newRow("link still ours") << false;
        QTest::newRow("link taken over by a newer run") << true;
    }
    void cleansUpOnDestruction()
    {
        QFETCH(bool, takenOver);
        const QString path = linkIn("gone");
        const int descriptors = openDescriptors();
        QString slave;
        {
            VirtualSerialPort worker(path);
            slave = worker.slaveName();
            Client client{false, path};
            QVERIFY(client.open());
            if (takenOver)
                QVERIFY(QFile::remove(path) && QFile::link("/dev/null", path));
        }
        QCOMPARE(QFileInfo(path).symLinkTarget(), takenOver ? "/dev/null" : QString());
        QCOMPARE(openDescriptors(), descriptors);
        // The slave node goes away only when the master is closed.
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(slave); }, 1000));
        QFile::remove(path);
    }

    void reportsUnusableLinkPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("directory does not exist")
            << dir.filePath("no-such-dir/gcs") << "No such file or directory";
        QTest::newRow("path is a directory") << dir.path() << "Is a directory";
    }
    void reportsUnusableLinkPath()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        const int descriptors = openDescriptors();
        QString message;
        try {
            VirtualSerialPort worker(path);
        } catch (const std::runtime_error &error) {
            message = QString::fromUtf8(error.what());
        }
        QVERIFY2(message.startsWith(QString("Error opening port %1: ").arg(path))
                     && message.endsWith(reason),
                 qPrintable(message));
        QCOMPARE(openDescriptors(), descriptors);
    }
};

QTEST_GUILESS_MAIN(VirtualSerialPortTest)
#include "VirtualSerialPortTest.moc"
