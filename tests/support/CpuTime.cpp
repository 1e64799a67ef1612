#include "tests/support/CpuTime.h"

#include <ctime>

namespace testsupport {

namespace {
int64_t microseconds(clockid_t clock)
{
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
} // namespace

int64_t processCpuMicroseconds()
{
    return microseconds(CLOCK_PROCESS_CPUTIME_ID);
}

int64_t monotonicMicroseconds()
{
    return microseconds(CLOCK_MONOTONIC);
}

void CpuWatch::restart()
{
    m_cpuStart = processCpuMicroseconds();
    m_wallStart = monotonicMicroseconds();
}

int64_t CpuWatch::cpuMicroseconds() const
{
    return processCpuMicroseconds() - m_cpuStart;
}

int64_t CpuWatch::wallMicroseconds() const
{
    return monotonicMicroseconds() - m_wallStart;
}

double CpuWatch::load() const
{
    const int64_t wall = wallMicroseconds();
    return wall > 0 ? double(cpuMicroseconds()) / double(wall) : 0.0;
}

} // namespace testsupport
