// CPU time of the whole process (all threads), to show that something idles rather than
// spins. Compare against the wall time that passed, never against a fixed speed.
#pragma once

#include <cstdint>

namespace testsupport {

// CPU time used so far by every thread of this process, in microseconds.
int64_t processCpuMicroseconds();
// Wall-clock time from a monotonic clock, in microseconds.
int64_t monotonicMicroseconds();

// Measures CPU and wall time from construction (or restart()) to now.
class CpuWatch
{
public:
    CpuWatch() { restart(); }
    void restart();
    int64_t cpuMicroseconds() const;
    int64_t wallMicroseconds() const;
    // CPU time as a share of wall time: about 1.0 for one thread spinning.
    double load() const;

private:
    int64_t m_cpuStart = 0;
    int64_t m_wallStart = 0;
};

} // namespace testsupport
