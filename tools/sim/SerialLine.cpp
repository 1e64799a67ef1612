#include "tools/sim/SerialLine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

bool speedFor(int baud, speed_t &speed)
{
    static const struct {
        int baud;
        speed_t speed;
    } kSpeeds[] = {
        {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
        {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
        {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
        {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
    };
    for (const auto &entry : kSpeeds) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

long long monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

SerialLine::~SerialLine()
{
    close();
}

bool SerialLine::open(const std::string &path, int baud, std::string &error)
{
    close();
    speed_t speed;
    if (!speedFor(baud, speed)) {
        error = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        error = path + " is not a serial port: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = "cannot configure " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Whatever was queued before we came up belongs to nobody.
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    return true;
}

void SerialLine::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

long SerialLine::readSome(uint8_t *buffer, size_t capacity)
{
    if (fd_ < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, capacity);
        if (n > 0)
            return static_cast<long>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // 0 with VMIN=0 also means "nothing yet" on a UART; a pty slave whose master has
        // gone reports EIO instead, and poll() says POLLHUP. Let the caller's poll decide.
        if (n == 0)
            return 0;
        return -1;
    }
}

bool SerialLine::writeAll(const uint8_t *data, size_t length, int timeoutMs)
{
    if (fd_ < 0)
        return false;
    const long long deadline = monotonicMs() + timeoutMs;
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const long long left = deadline - monotonicMs();
        if (left <= 0)
            return false;
        pollfd pfd{fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return false;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))
            return false;
    }
    return true;
}
