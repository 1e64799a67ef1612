// CPU time of the whole process (all threads) against the wall time that passed, to show that
// something idles rather than spins. Never compare against a fixed speed.
#pragma once

#include <cstdint>
#include <ctime>

namespace testsupport {

inline int64_t microseconds(clockid_t clock)
{
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

class CpuWatch
{
public:
    int64_t cpuMicroseconds() const { return microseconds(CLOCK_PROCESS_CPUTIME_ID) - m_cpu; }
    // CPU time as a share of wall time: about 1.0 for one thread spinning.
    double load() const
    {
        const int64_t wall = microseconds(CLOCK_MONOTONIC) - m_wall;
        return wall > 0 ? double(cpuMicroseconds()) / double(wall) : 0.0;
    }

private:
    int64_t m_cpu = microseconds(CLOCK_PROCESS_CPUTIME_ID);
    int64_t m_wall = microseconds(CLOCK_MONOTONIC);
};

} // namespace testsupport
