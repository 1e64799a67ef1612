#include "tests/support/PtyPair.h"

#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

int remainingMs(const QElapsedTimer &timer, int totalMs)
{
    return int(qMax<qint64>(0, totalMs - timer.elapsed()));
}

} // namespace

PtyPair::PtyPair()
{
    termios raw{};
    struct stat st{};
    char name[64] = {};
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0
        || ::tcgetattr(m_master, &raw) != 0 || ::fstat(m_slave, &st) != 0
        || ::ttyname_r(m_slave, name, sizeof name) != 0)
        qFatal("PtyPair: cannot create a pseudo-terminal: %s", strerror(errno));
    // On Linux the master's termios calls act on the slave's settings.
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slaveDevice = st.st_rdev;
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    ::close(m_slave);
}

bool PtyPair::write(const QByteArray &bytes, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (qint64 done = 0; done < bytes.size();) {
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
    pollfd pfd{m_master, POLLIN, 0};
    if (m_master < 0 || ::poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN))
        return out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(m_master, buffer, sizeof buffer)) > 0;)
        out.append(buffer, int(n));
    return out;
}

QByteArray PtyPair::readExactly(int n, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < n && remainingMs(timer, timeoutMs) > 0)
        out.append(readSome(remainingMs(timer, timeoutMs)));
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

speed_t PtyPair::outputSpeed() const
{
    termios t{};
    return ::tcgetattr(m_master, &t) == 0 ? ::cfgetospeed(&t) : B0;
}

speed_t PtyPair::inputSpeed() const
{
    termios t{};
    return ::tcgetattr(m_master, &t) == 0 ? ::cfgetispeed(&t) : B0;
}

bool PtyPair::setSpeed(speed_t speed)
{
    termios t{};
    return ::tcgetattr(m_master, &t) == 0 && ::cfsetispeed(&t, speed) == 0
           && ::cfsetospeed(&t, speed) == 0 && ::tcsetattr(m_master, TCSANOW, &t) == 0;
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

int PtyPair::openCountInProcess() const
{
    int count = 0;
    const QDir fds("/proc/self/fd");
    for (const QString &entry : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        struct stat st{};
        const int fd = entry.toInt();
        if (fd != m_slave && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)
            && st.st_rdev == m_slaveDevice)
            ++count;
    }
    return count;
}

} // namespace testsupport
