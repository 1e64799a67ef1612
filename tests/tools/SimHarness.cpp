#include "tests/tools/SimHarness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
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
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

SimProcess::~SimProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (const std::string &path : {outPath_, errPath_})
        if (!path.empty())
            unlink(path.c_str());
}

bool SimProcess::start(const std::string &port, const std::vector<std::string> &args)
{
    for (std::string *path : {&outPath_, &errPath_}) {
        char name[] = "/tmp/uav-sim-test-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            return false;
        close(fd);
        *path = name;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(open(outPath_.c_str(), O_WRONLY), STDOUT_FILENO);
        dup2(open(errPath_.c_str(), O_WRONLY), STDERR_FILENO);
        // Nothing of the test may stay open in the simulator: a pty master it inherited would
        // keep its line from ever hanging up.
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
    return pid_ > 0;
}

int SimProcess::wait(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    for (const long long deadline = nowMs() + timeoutMs; waitpid(pid_, &status, WNOHANG) != pid_; usleep(20000))
        if (nowMs() > deadline)
            return -1;
    pid_ = -1;
    std::istringstream lines(readFile(outPath_));
    for (std::string line; std::getline(lines, line);)
        if (line.find('=') != std::string::npos)
            summary_[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SimProcess::stop(int timeoutMs)
{
    if (pid_ > 0)
        kill(pid_, SIGTERM);
    return wait(timeoutMs);
}

std::string SimProcess::value(const std::string &key) const
{
    const auto it = summary_.find(key);
    return it == summary_.end() ? std::string("<missing>") : it->second;
}

std::string SimProcess::stderrText() const
{
    return readFile(errPath_);
}

GroundEnd::GroundEnd()
{
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        return;
    termios tio;
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = name;
}

GroundEnd::~GroundEnd()
{
    closeMaster();
    if (slave_ >= 0)
        close(slave_);
}

void GroundEnd::closeMaster()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void GroundEnd::sendBytes(const void *data, size_t length)
{
    for (const auto *p = static_cast<const uint8_t *>(data); length > 0;) {
        const ssize_t n = write(master_, p, length);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (n > 0) {
            p += n;
            length -= size_t(n);
            continue;
        }
        pollfd pfd{master_, POLLOUT, 0};
        poll(&pfd, 1, 100);
    }
}

void GroundEnd::sendFrame(const LinkFrame &frame)
{
    uint8_t bytes[kLinkFrameMaxSize];
    sendBytes(bytes, writeLinkFrame(frame, bytes));
}

bool GroundEnd::nextFrame(LinkFrame &frame, int timeoutMs, int type)
{
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        uint8_t b;
        if (read(master_, &b, 1) == 1) {
            if (parser_.parseByte(b, working_) && (type < 0 || working_.type == type)) {
                frame = working_;
                return true;
            }
            continue;
        }
        if (nowMs() >= deadline)
            return false;
        pollfd pfd{master_, POLLIN, 0};
        poll(&pfd, 1, int(std::max(0LL, deadline - nowMs())));
    }
}
