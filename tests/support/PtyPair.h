// A pseudo-terminal pair for tests of serial code: the code under test opens the slave by
// its path, the test drives the master. The line is raw (no echo, no line editing), so bytes
// pass unchanged both ways. Failing to create one ends the test program.
#pragma once

#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

class PtyPair
{
public:
    PtyPair()
    {
        termios raw{};
        struct stat st{};
        char name[64] = {};
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0
            || ::tcgetattr(m_master, &raw) != 0 || ::fstat(m_slave, &st) != 0
            || ::ttyname_r(m_slave, name, sizeof name) != 0)
            qFatal("PtyPair: cannot create a pseudo-terminal: %s", std::strerror(errno));
        // On Linux the master's termios calls act on the slave's settings.
        ::cfmakeraw(&raw);
        ::tcsetattr(m_master, TCSANOW, &raw);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_slaveDevice = st.st_rdev;
        m_slavePath = QString::fromLocal8Bit(name);
    }
    ~PtyPair()
    {
        closeMaster();
        ::close(m_slave);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // "/dev/pts/N", what a user would type.
    QString slavePath() const { return m_slavePath; }

    // Writes all bytes to the master; false on error or when the line stays full.
    bool write(const QByteArray &bytes, int timeoutMs = 2000)
    {
        QElapsedTimer timer;
        timer.start();
        for (qint64 done = 0; done < bytes.size();) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            done += qMax<ssize_t>(n, 0);
            pollfd pfd{m_master, POLLOUT, 0};
            if (n < 0 && ((errno != EAGAIN && errno != EINTR)
                          || ::poll(&pfd, 1, int(qMax<qint64>(0, timeoutMs - timer.elapsed()))) <= 0))
                return false;
        }
        return true;
    }
    // Waits up to timeoutMs for the first byte, then returns whatever is buffered.
    QByteArray readSome(int timeoutMs)
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
    // Reads until n bytes arrived or timeoutMs passed; returns what it got.
    QByteArray readExactly(int n, int timeoutMs)
    {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (out.size() < n && timer.elapsed() < timeoutMs)
            out.append(readSome(int(timeoutMs - timer.elapsed())));
        return out;
    }
    // Reads until the line has been quiet for quietMs (or totalMs passed).
    QByteArray readUntilQuiet(int quietMs, int totalMs = 5000)
    {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < totalMs) {
            const QByteArray chunk = readSome(int(qMin<qint64>(quietMs, totalMs - timer.elapsed())));
            if (chunk.isEmpty())
                break;
            out += chunk;
        }
        return out;
    }

    // The line's rates as the slave's opener left them, and setting both, from the master side.
    speed_t outputSpeed() const { return ::cfgetospeed(&settings()); }
    speed_t inputSpeed() const { return ::cfgetispeed(&settings()); }
    bool setSpeed(speed_t speed)
    {
        return ::cfsetspeed(&settings(), speed) == 0 && ::tcsetattr(m_master, TCSANOW, &m_settings) == 0;
    }

    // Closing the master hangs up the slave, as unplugging a USB modem does.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    // Descriptors of this process open on the slave, not counting the pair's own.
    int openCountInProcess() const
    {
        int count = 0;
        for (const QString &entry : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System)) {
            struct stat st{};
            const int fd = entry.toInt();
            count += fd != m_slave && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)
                     && st.st_rdev == m_slaveDevice;
        }
        return count;
    }

private:
    termios &settings() const { return ::tcgetattr(m_master, &m_settings), m_settings; }

    int m_master = -1;
    int m_slave = -1; // held so that the master never sees a hang-up between openers
    dev_t m_slaveDevice = 0;
    QString m_slavePath;
    mutable termios m_settings{};
};

} // namespace testsupport
