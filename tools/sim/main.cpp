// uav-sim: the aircraft end of the protected link and its radio modem, on a serial port.
// Progress goes to stderr; the summary (key=value lines) goes to stdout at exit.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <poll.h>

#include "tools/sim/AircraftLink.h"
#include "tools/sim/SerialLine.h"
#include "tools/sim/SimCounters.h"
#include "tools/sim/SimOptions.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

void installSignalHandlers()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: poll() must return at once so the summary gets printed.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// How long a write may wait for room before its bytes are given up.
constexpr int kWriteTimeoutMs = 500;
// Upper bound of one poll, so that signals and the duration are noticed promptly.
constexpr long long kMaxPollMs = 100;

} // namespace

int main(int argc, char **argv)
{
    SimOptions options;
    std::string message;
    switch (parseSimOptions(argc, argv, options, message)) {
    case ParseOutcome::Help:
    case ParseOutcome::Version:
        std::cout << message;
        return 0;
    case ParseOutcome::Error:
        std::cerr << "uav-sim: " << message << '\n';
        return 1;
    case ParseOutcome::Run:
        break;
    }

    std::ofstream rxLog;
    std::ofstream txLog;
    if (!options.logRx.empty()) {
        rxLog.open(options.logRx, std::ios::out | std::ios::trunc);
        if (!rxLog) {
            std::cerr << "uav-sim: cannot write " << options.logRx << '\n';
            return 1;
        }
    }
    if (!options.logTx.empty()) {
        txLog.open(options.logTx, std::ios::out | std::ios::trunc);
        if (!txLog) {
            std::cerr << "uav-sim: cannot write " << options.logTx << '\n';
            return 1;
        }
    }

    SerialLine line;
    if (!line.open(options.port, options.baud, message)) {
        std::cerr << "uav-sim: " << message << '\n';
        return 2;
    }
    installSignalHandlers();

    const auto t0 = std::chrono::steady_clock::now();
    auto nowMs = [&t0]() {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - t0)
                                          .count());
    };
    const long long endMs = options.durationSeconds > 0
                                ? static_cast<long long>(options.durationSeconds * 1000.0)
                                : -1;

    SimCounters counters;
    auto progress = [&](const std::string &text) {
        if (!options.quiet)
            std::cerr << "uav-sim: [" << nowMs() << " ms] " << text << '\n';
    };
    AircraftLink link(
        options, counters,
        [&line](const uint8_t *data, size_t length) { return line.writeAll(data, length, kWriteTimeoutMs); },
        progress, rxLog.is_open() ? &rxLog : nullptr, txLog.is_open() ? &txLog : nullptr);

    progress("on " + options.port);
    link.start(nowMs());

    uint8_t buffer[4096];
    while (!stopRequested) {
        long long now = nowMs();
        if (endMs >= 0 && now >= endMs)
            break;
        long long wait = link.nextWakeMs() - now;
        if (endMs >= 0)
            wait = std::min(wait, endMs - now);
        wait = std::max(0LL, std::min(wait, kMaxPollMs));

        pollfd pfd{line.fd(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(wait));
        if (ready < 0 && errno != EINTR) {
            progress(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        now = nowMs();
        if (ready > 0) {
            const long n = line.readSome(buffer, sizeof buffer);
            if (n > 0) {
                link.receive(buffer, static_cast<size_t>(n), now);
            } else if (n < 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                // The other end of a pseudo-terminal is gone for good.
                counters.hangup = true;
                progress("the port hung up");
                break;
            }
        }
        link.tick(nowMs());
    }

    counters.runMs = nowMs();
    link.finish();
    progress(stopRequested ? "stopped by signal" : "done");
    printSummary(std::cout, counters);
    return 0;
}
