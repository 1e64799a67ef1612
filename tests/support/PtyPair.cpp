#include "tests/support/PtyPair.h"

#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

int remainingMs(const QElapsedTimer &timer, int totalMs)
{
    const qint64 left = totalMs - timer.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

PtyPair::PtyPair()
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return;
    termios raw{};
    struct stat st{};
    char name[64] = {};
    if (::tcgetattr(master, &raw) != 0 || ::fstat(slave, &st) != 0
        || ::ttyname_r(slave, name, sizeof name) != 0) {
        ::close(master);
        ::close(slave);
        return;
    }
    // On Linux the master's termios calls act on the slave's settings.
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_slave = slave;
    m_slaveDevice = st.st_rdev;
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

QString PtyPair::portName() const
{
    return m_slavePath.startsWith("/dev/") ? m_slavePath.mid(5) : m_slavePath;
}

bool PtyPair::write(const QByteArray &bytes, int timeoutMs)
{
    if (m_master < 0)
        return false;
    QElapsedTimer timer;
    timer.start();
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pfd{m_master, POLLOUT, 0};
        if (::poll(&pfd, 1, remainingMs(timer, timeoutMs)) <= 0)
            return false;
    }
    return true;
}

QByteArray PtyPair::readSome(int timeoutMs)
{
    QByteArray out;
    if (m_master < 0)
        return out;
    pollfd pfd{m_master, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN))
        return out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, int(n));
    }
    return out;
}

QByteArray PtyPair::readExactly(int n, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < n) {
        const int left = remainingMs(timer, timeoutMs);
        if (left == 0)
            break;
        out.append(readSome(left));
    }
    return out;
}

QByteArray PtyPair::readUntilQuiet(int quietMs, int totalMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < totalMs) {
        const QByteArray chunk = readSome(qMin(quietMs, remainingMs(timer, totalMs)));
        if (chunk.isEmpty())
            break;
        out.append(chunk);
    }
    return out;
}

bool PtyPair::lineSettings(termios *settings) const
{
    return m_master >= 0 && ::tcgetattr(m_master, settings) == 0;
}

speed_t PtyPair::outputSpeed() const
{
    termios t{};
    return lineSettings(&t) ? ::cfgetospeed(&t) : B0;
}

speed_t PtyPair::inputSpeed() const
{
    termios t{};
    return lineSettings(&t) ? ::cfgetispeed(&t) : B0;
}

void PtyPair::closeMaster()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

int PtyPair::openCountInProcess() const
{
    int count = 0;
    const QDir fds("/proc/self/fd");
    for (const QString &entry : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const int fd = entry.toInt(&ok);
        if (!ok || fd == m_slave)
            continue;
        struct stat st{};
        if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == m_slaveDevice)
            ++count;
    }
    return count;
}

} // namespace testsupport
