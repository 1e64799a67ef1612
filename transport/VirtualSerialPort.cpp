#include "transport/VirtualSerialPort.h"

#include <QDebug>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/inotify.h>
#include <dirent.h>
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

    // Our own slave descriptor keeps the pair from hanging up when a client closes: without it
    // the master reads EIO in a loop until the next client opens.
    ownSlave.reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (ownSlave.get() < 0)
        fail("cannot open the slave", errno);

    // The master cannot tell whether anyone but us holds the slave: opens and closes of the
    // slave node tell when to count the descriptors that lead to it.
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
    speedTimer->start(1000);
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
    if (chunk.isEmpty()) {
        if (readError != 0) {
            qDebug() << "Error reading data from" << link << ":" << errnoText(readError);
            // The master only fails once the slave is gone for good; reading on would spin.
            readNotifier->setEnabled(false);
        }
        return;
    }
    bytesRead += quint64(chunk.size());
    emit dataArrived(chunk);
}

void VirtualSerialPort::write()
{
    // Take in opens and closes that happened since the last event loop pass, so that bytes
    // are never queued toward a client that has just gone.
    updateClientCount();
    if (writeBuffer.isEmpty())
        return;
    if (clients == 0) {
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
    updateClientCount();
}

int VirtualSerialPort::countClients() const
{
    // Every descriptor on our slave in every process we can see, less our own one. The
    // events only say that something changed: the kernel merges identical events that were
    // not read yet, so two quick opens arrive as one and cannot be counted.
    int count = 0;
    const QByteArray target = slave.toLocal8Bit();
    char path[64];
    char linkTarget[64];
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return clients;
    const pid_t self = ::getpid();
    while (const struct dirent *process = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::snprintf(path, sizeof path, "/proc/%ld/fd", pid);
        DIR *fds = ::opendir(path);
        if (!fds)
            continue;
        while (const struct dirent *fd = ::readdir(fds)) {
            const long number = std::strtol(fd->d_name, &end, 10);
            if (*end != '\0' || fd->d_name[0] == '.')
                continue;
            if (pid == self && (number == ownSlave.get() || number == ::dirfd(fds)))
                continue;
            std::snprintf(path, sizeof path, "/proc/%ld/fd/%ld", pid, number);
            const ssize_t n = ::readlink(path, linkTarget, sizeof linkTarget - 1);
            if (n == target.size() && std::memcmp(linkTarget, target.constData(), size_t(n)) == 0)
                ++count;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return count;
}

void VirtualSerialPort::updateClientCount()
{
    alignas(struct inotify_event) char buffer[4096];
    bool changed = false;
    bool closed = false;
    for (;;) {
        const ssize_t n = ::read(watcher.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        changed = true;
        for (ssize_t offset = 0; offset < n;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + offset);
            closed = closed || (event->mask & IN_CLOSE) != 0;
            offset += ssize_t(sizeof(struct inotify_event)) + event->len;
        }
    }
    if (!changed)
        return;
    clients = countClients();
    // A close, even one already followed by the next client's open: what the one who left did
    // not read must not reach whoever holds the port now.
    if (closed)
        clientsGone(true);
}

void VirtualSerialPort::clientsGone(bool restoreTermios)
{
    // What the last client did not read would reach the next one stale.
    writeBuffer.clear();
    writeNotifier->setEnabled(false);
    ::tcflush(ownSlave.get(), TCIFLUSH);
    if (!restoreTermios)
        return;
    // A client may leave the slave cooked, echoing or exclusive (a killed one does not clean
    // up); the next one starts from the same raw port as the first.
    ::tcsetattr(ownSlave.get(), TCSANOW, &rawTermios);
    ::ioctl(ownSlave.get(), TIOCNXCL);
}
