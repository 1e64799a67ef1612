#include "tests/tools/SimHarness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef UAV_SIM_PATH
#error "UAV_SIM_PATH must name the uav-sim executable"
#endif

namespace {

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

SimProcess::~SimProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
    if (!stderrPath_.empty())
        unlink(stderrPath_.c_str());
}

bool SimProcess::start(const std::string &port, const std::vector<std::string> &args)
{
    char pattern[] = "/tmp/uav-sim-stderr-XXXXXX";
    const int errFd = mkstemp(pattern);
    if (errFd < 0)
        return false;
    stderrPath_ = pattern;
    int out[2];
    if (pipe(out) != 0)
        return false;
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(errFd);
        // Nothing of the test may stay open in the simulator: a pty master it inherited
        // would keep its line from ever hanging up.
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        std::vector<std::string> all = {UAV_SIM_PATH, "--port", port};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    stdoutFd_ = out[0];
    return true;
}

int SimProcess::reap(int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    int status = 0;
    bool exited = false;
    char buffer[4096];
    for (;;) {
        // Drain stdout while waiting, so a long summary never blocks the child.
        pollfd pfd{stdoutFd_, POLLIN, 0};
        if (stdoutFd_ >= 0 && poll(&pfd, 1, 20) > 0) {
            const ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
            if (n > 0) {
                stdout_.append(buffer, static_cast<size_t>(n));
                continue;
            }
            close(stdoutFd_);
            stdoutFd_ = -1;
        } else if (stdoutFd_ < 0) {
            usleep(20000);
        }
        if (!exited && waitpid(pid_, &status, WNOHANG) == pid_)
            exited = true;
        if (exited && stdoutFd_ < 0)
            break;
        if (nowMs() > deadline)
            return -1;
    }
    pid_ = -1;
    std::istringstream lines(stdout_);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            summary_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SimProcess::stop(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    return reap(timeoutMs);
}

int SimProcess::wait(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    return reap(timeoutMs);
}

std::string SimProcess::value(const std::string &key) const
{
    const auto it = summary_.find(key);
    return it == summary_.end() ? std::string("<missing>") : it->second;
}

int SimProcess::number(const std::string &key) const
{
    const std::string text = value(key);
    char *end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    return (text.empty() || *end != '\0') ? -1000 : static_cast<int>(n);
}

std::string SimProcess::stderrText() const
{
    std::ifstream in(stderrPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

GroundEnd::~GroundEnd()
{
    closeMaster();
    if (slave_ >= 0)
        close(slave_);
}

bool GroundEnd::open()
{
    int master = -1;
    int slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    termios tio;
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    // Held open so that the master does not report a hang-up before the simulator opens
    // the slave by name; the test never reads from it.
    slave_ = slave;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    master_ = master;
    slavePath_ = name;
    std::memset(&working_, 0, sizeof working_);
    return true;
}

void GroundEnd::closeMaster()
{
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

void GroundEnd::sendBytes(const void *data, size_t length)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = write(master_, p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd pfd{master_, POLLOUT, 0};
            poll(&pfd, 1, 100);
        }
    }
}

void GroundEnd::sendFrame(const LinkFrame &frame)
{
    uint8_t bytes[kLinkFrameMaxSize];
    sendBytes(bytes, writeLinkFrame(frame, bytes));
}

bool GroundEnd::nextFrame(LinkFrame &frame, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        uint8_t b;
        const ssize_t n = read(master_, &b, 1);
        if (n == 1) {
            if (parser_.parseByte(b, working_)) {
                frame = working_;
                return true;
            }
            continue;
        }
        const long long left = deadline - nowMs();
        if (left <= 0)
            return false;
        pollfd pfd{master_, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
}

bool GroundEnd::nextFrameOfType(LinkFrameType type, LinkFrame &frame, int timeoutMs,
                                std::vector<LinkFrame> *skipped)
{
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const long long left = deadline - nowMs();
        if (left <= 0 || !nextFrame(frame, static_cast<int>(left)))
            return false;
        if (frame.type == static_cast<uint8_t>(type))
            return true;
        if (skipped)
            skipped->push_back(frame);
    }
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::string hexOf(const uint8_t *data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

std::vector<uint8_t> unhex(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}
