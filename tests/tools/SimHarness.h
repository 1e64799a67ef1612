// Runs uav-sim on the slave of a pseudo-terminal pair and plays the ground end on the master.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "tests/messaging/TestBytes.h"

class SimProcess {
public:
    ~SimProcess();
    // Forks and runs the simulator with args on port; stdout and stderr go to temporary files.
    bool start(const std::string &port, const std::vector<std::string> &args);
    // SIGTERM, then waits at most timeoutMs. The exit status, or -1 when the process did not
    // end or died from a signal.
    int stop(int timeoutMs = 5000);
    // Waits for the process to end by itself.
    int wait(int timeoutMs);
    // The key=value lines of the summary printed at exit.
    const std::map<std::string, std::string> &summary() const { return summary_; }
    std::string value(const std::string &key) const;
    std::string stderrText() const;

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
    std::map<std::string, std::string> summary_;
};

// The master side of the pty, seen as the ground station's modem port.
class GroundEnd {
public:
    GroundEnd();
    ~GroundEnd();
    const std::string &slavePath() const { return slavePath_; }
    void closeMaster();

    void sendBytes(const void *data, size_t length);
    void sendFrame(const LinkFrame &frame);
    // The next complete frame within timeoutMs, of the given type if one is given (bytes
    // outside frames and frames of other types are skipped).
    bool nextFrame(LinkFrame &frame, int timeoutMs, int type = -1);

private:
    int master_ = -1;
    int slave_ = -1;  // held so that the master sees no hang-up before the simulator opens it
    std::string slavePath_;
    LinkFrameParser parser_;
    LinkFrame working_{};
};

std::string readFile(const std::string &path);
