// CPU time of the whole process (all threads) against the wall time that passed, to show that
// something idles rather than spins. Never compare against a fixed speed.
#pragma once

#include <cstdint>
#include <ctime>

namespace testsupport {

class CpuWatch
{
public:
    int64_t cpuMicroseconds() const { return now(CLOCK_PROCESS_CPUTIME_ID) - m_cpu; }
    // CPU time as a share of wall time: about 1.0 for one thread spinning.
    double load() const { return double(cpuMicroseconds()) / double(now(CLOCK_MONOTONIC) - m_wall + 1); }

private:
    static int64_t now(clockid_t clock)
    {
        timespec ts{};
        ::clock_gettime(clock, &ts);
        return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }
    int64_t m_cpu = now(CLOCK_PROCESS_CPUTIME_ID);
    int64_t m_wall = now(CLOCK_MONOTONIC);
};

} // namespace testsupport
