#include "transport/VirtualSerialPort.h"

#include <QDebug>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Bytes taken from the master in one pass, so that a fast client cannot starve the event loop.
constexpr int maxChunk = 64 * 1024;

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

void VirtualSerialPort::Fd::reset(int value)
{
    if (fd >= 0)
        ::close(fd);
    fd = value;
}

VirtualSerialPort::VirtualSerialPort(const QString &linkPath, QObject *parent)
    : QObject(parent), link(linkPath)
{
    auto fail = [this](const char *step, int err) {
        const QString message = QStringLiteral("Error opening port %1: %2: %3")
                                    .arg(link, QLatin1String(step), errnoText(err));
        qDebug().noquote() << message;
        throw std::runtime_error(message.toStdString());
    };

    master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (master.get() < 0)
        fail("cannot create a pseudo-terminal", errno);
    ::fcntl(master.get(), F_SETFD, FD_CLOEXEC);
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        fail("cannot unlock the pseudo-terminal", errno);
    char name[128];
    const int nameError = ::ptsname_r(master.get(), name, sizeof name);
    if (nameError != 0)
        fail("cannot name the pseudo-terminal", nameError);
    slave = QFile::decodeName(name);

    // On Linux the master's termios are the slave's: raw, so every byte value passes untouched.
    if (::tcgetattr(master.get(), &rawTermios) != 0)
        fail("cannot read the terminal settings", errno);
    ::cfmakeraw(&rawTermios);
    if (::tcsetattr(master.get(), TCSANOW, &rawTermios) != 0)
        fail("cannot set raw mode", errno);

    // Whether anyone holds the slave is read from the master: it reports a hangup once the
    // last slave descriptor is closed, whoever held it. That state begins only after a first
    // close, so the slave is opened and closed once here.
    const int probe = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0)
        fail("cannot open the slave", errno);
    ::close(probe);

    // Opens and closes of the slave node tell when to look again.
    watcher.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watcher.get() < 0)
        fail("cannot watch the slave", errno);
    if (::inotify_add_watch(watcher.get(), name, IN_OPEN | IN_CLOSE) < 0)
        fail("cannot watch the slave", errno);

    // The name must lead to this run's slave, never to the pseudo-terminal of an earlier run.
    const QByteArray linkName = QFile::encodeName(link);
    if (::unlink(linkName.constData()) != 0 && errno != ENOENT)
        fail("cannot replace the old link", errno);
    if (::symlink(name, linkName.constData()) != 0)
        fail("cannot create the link", errno);

    // Children, so that they move with the worker into its thread.
    readNotifier = new QSocketNotifier(master.get(), QSocketNotifier::Read, this);
    writeNotifier = new QSocketNotifier(master.get(), QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    // Without a client the master reports a hangup on every poll: it is read from once one opens.
    readNotifier->setEnabled(false);
    clientNotifier = new QSocketNotifier(watcher.get(), QSocketNotifier::Read, this);
    speedTimer = new QTimer(this);

    // The notifiers call straight in: a queued read would let the level-triggered notifier
    // fire again before the bytes are taken.
    connect(readNotifier, &QSocketNotifier::activated, this, &VirtualSerialPort::readData);
    connect(writeNotifier, &QSocketNotifier::activated, this, &VirtualSerialPort::masterWritable);
    connect(clientNotifier, &QSocketNotifier::activated, this, &VirtualSerialPort::clientActivity);
    connect(this, &VirtualSerialPort::dataReadyForWrite, this, &VirtualSerialPort::write,
            Qt::QueuedConnection);
    connect(speedTimer, &QTimer::timeout, this, &VirtualSerialPort::calculateSpeed);

    speedTimer->setSingleShot(true);
    // Started in the worker's thread: see OrvSerialPort.
    QMetaObject::invokeMethod(speedTimer, "start", Qt::QueuedConnection, Q_ARG(int, 1000));
}

VirtualSerialPort::~VirtualSerialPort()
{
    // The notifiers go before the descriptors they watch are closed.
    delete readNotifier;
    delete writeNotifier;
    delete clientNotifier;

    // Remove the link only while it still leads to our slave: a newer run may own the name now.
    const QByteArray linkName = QFile::encodeName(link);
    char target[256];
    const ssize_t length = ::readlink(linkName.constData(), target, sizeof target);
    if (length > 0 && QFile::decodeName(QByteArray(target, int(length))) == slave)
        ::unlink(linkName.constData());
}

QString VirtualSerialPort::defaultLinkPath()
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (runtimeDir.startsWith('/'))
        return QFile::decodeName(runtimeDir) + QStringLiteral("/uav-link-gcs");
    // /tmp always exists. The uid keeps users apart, the sticky bit keeps others from replacing
    // our link, and the link is owned by the same user as the client that must follow it
    // (the slave is only open to that user anyway), which protected_symlinks allows.
    return QStringLiteral("/tmp/uav-link-gcs-%1").arg(::getuid());
}

void VirtualSerialPort::writeData(QByteArray data)
{
    writeBuffer.append(data);
    emit dataReadyForWrite();
}

void VirtualSerialPort::readData()
{
    QByteArray chunk;
    char buffer[4096];
    int readError = 0;
    while (chunk.size() < maxChunk) {
        const ssize_t n = ::read(master.get(), buffer, sizeof buffer);
        if (n > 0) {
            chunk.append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            readError = errno;
        break;
    }
    if (!chunk.isEmpty()) {
        bytesRead += quint64(chunk.size());
        emit dataArrived(chunk);
    }
    // EIO: the last client closed after its final bytes were taken; reading on would spin.
    if (readError == EIO)
        updateClientState();
    else if (readError != 0)
        qDebug() << "Error reading data from" << link << ":" << errnoText(readError);
}

void VirtualSerialPort::write()
{
    // Take in opens and closes that happened since the last event loop pass, so that bytes
    // are never queued toward a client that has just gone.
    updateClientState();
    if (writeBuffer.isEmpty())
        return;
    if (!connected) {
        // Nobody has the port open: what is written now would reach the next client stale.
        writeBuffer.clear();
        return;
    }

    int total = 0;
    int writeError = 0;
    while (total < writeBuffer.size()) {
        const ssize_t n = ::write(master.get(), writeBuffer.constData() + total,
                                  size_t(writeBuffer.size() - total));
        if (n > 0) {
            total += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            writeError = errno;
        break;
    }
    bytesWritten += quint64(total);
    writeBuffer.remove(0, total);
    if (writeError != 0)
        qDebug() << "Error writing data to" << link << ":" << errnoText(writeError);
    if (writeBuffer.isEmpty())
        return;

    if (writeBuffer.size() > maxPendingBytes) {
        qDebug() << "Dropping" << writeBuffer.size() << "bytes for" << link
                 << ": the client does not read";
        writeBuffer.clear();
        return;
    }
    // The client reads slower than we write: go on once the pseudo-terminal has room.
    if (writeError == 0)
        writeNotifier->setEnabled(true);
}

void VirtualSerialPort::masterWritable()
{
    writeNotifier->setEnabled(false);
    write();
}

void VirtualSerialPort::calculateSpeed()
{
    qDebug().noquote() << QStringLiteral("(%1)").arg(link) << "read speed:" << bytesRead << "B/s";
    qDebug().noquote() << QStringLiteral("(%1)").arg(link) << "write speed:" << bytesWritten
                       << "B/s";
    bytesWritten = 0;
    bytesRead = 0;
    speedTimer->start(1000);
}

void VirtualSerialPort::clientActivity()
{
    updateClientState();
}

bool VirtualSerialPort::slaveHeld() const
{
    struct pollfd p = {master.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

void VirtualSerialPort::updateClientState()
{
    alignas(struct inotify_event) char buffer[4096];
    bool changed = false;
    bool reopened = false;  // a close followed by an open: the holder now may be a new client
    bool closedLast = false;
    for (;;) {
        const ssize_t n = ::read(watcher.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        changed = true;
        for (ssize_t offset = 0; offset < n;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + offset);
            if (event->mask & IN_CLOSE)
                closedLast = true;
            else if ((event->mask & IN_OPEN) && closedLast)
                reopened = true;
            offset += ssize_t(sizeof(struct inotify_event)) + event->len;
        }
    }
    // Whoever holds the slave, of any user: the master reports a hangup once the last slave
    // descriptor is closed. An open and close by another program while the client stays (a
    // port scanner) leaves the client's bytes alone.
    const bool held = slaveHeld();
    if (!changed && held == connected)
        return;
    if (held && !connected) {
        connected = true;
        readNotifier->setEnabled(true);
    }
    if (held) {
        if (reopened)
            forgetUnread();
        return;
    }
    // Take what the last client wrote before it left, also one that came and went unseen.
    const bool left = connected;
    connected = false;
    readData();
    readNotifier->setEnabled(false);
    // A client may leave the port cooked or echoing (a killed one does not clean up); the
    // master's settings are the slave's, so the next one starts from the same raw port.
    ::tcsetattr(master.get(), TCSANOW, &rawTermios);
    // Nothing was written toward a client that was never seen.
    if (left)
        forgetUnread();
}

void VirtualSerialPort::forgetUnread()
{
    // What the client that left did not read would reach the next one stale.
    writeBuffer.clear();
    writeNotifier->setEnabled(false);
    // The kernel keeps the slave's input across the last close, and only a slave descriptor
    // can flush it or lift an exclusive lock that a killed client left behind. This open and
    // close shows up as events of its own, an open before a close, which change nothing:
    // without a client they find nobody connected, with one they are no reopening.
    const QByteArray name = QFile::encodeName(slave);
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::tcflush(fd, TCIFLUSH);
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    } else {
        qDebug() << "Error opening" << slave << "to clear it:" << errnoText(errno);
    }
}
