// Runs uav-sim on the slave of a pseudo-terminal pair and plays the ground end on the master.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"

class SimProcess {
public:
    ~SimProcess();
    // Forks and runs the simulator with args on port; stdout is collected, stderr goes to a
    // temporary file shown by stderrText().
    bool start(const std::string &port, const std::vector<std::string> &args);
    // SIGTERM (unless the process already ended), then waits at most timeoutMs.
    // Returns the exit status, or -1 when the process did not end or died from a signal.
    int stop(int timeoutMs = 5000);
    // Waits for the process to end by itself.
    int wait(int timeoutMs);
    // key=value lines of the summary printed at exit.
    const std::map<std::string, std::string> &summary() const { return summary_; }
    std::string value(const std::string &key) const;
    int number(const std::string &key) const;
    std::string stderrText() const;

private:
    int reap(int timeoutMs);

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string stdout_;
    std::string stderrPath_;
    std::map<std::string, std::string> summary_;
};

// The master side of the pty, seen as the ground station's modem port.
class GroundEnd {
public:
    ~GroundEnd();
    bool open();
    const std::string &slavePath() const { return slavePath_; }
    void closeMaster();

    void sendBytes(const void *data, size_t length);
    void sendFrame(const LinkFrame &frame);
    // The next complete frame within timeoutMs (bytes outside frames are skipped).
    bool nextFrame(LinkFrame &frame, int timeoutMs);
    // The next frame of the given type; frames of other types are passed to skipped if set.
    bool nextFrameOfType(LinkFrameType type, LinkFrame &frame, int timeoutMs,
                         std::vector<LinkFrame> *skipped = nullptr);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    LinkFrameParser parser_;
    LinkFrame working_;
};

std::vector<std::string> readLines(const std::string &path);
std::string hexOf(const uint8_t *data, size_t length);
std::vector<uint8_t> unhex(const std::string &hex);
