#include "tools/link-fault/FaultInjector.h"

FaultInjector::FaultInjector(const FaultRates &rates, uint64_t seed) : rates_(rates), random_(seed) {}

void FaultInjector::pass(const uint8_t *in, size_t length, std::vector<uint8_t> &out)
{
    counts_.bytesIn += static_cast<long long>(length);
    const size_t before = out.size();
    if (!enabled_) {
        out.insert(out.end(), in, in + length);
        counts_.bytesOut += static_cast<long long>(length);
        return;
    }
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    // One draw per byte picks at most one fault, so the rates add up as given.
    const double lossEnd = rates_.loss;
    const double flipEnd = lossEnd + rates_.flip;
    const double dupEnd = flipEnd + rates_.dup;
    const double noiseEnd = dupEnd + rates_.noise;
    for (size_t i = 0; i < length; ++i) {
        uint8_t byte = in[i];
        const double u = uniform(random_);
        if (u < noiseEnd) {
            if (u < lossEnd) {
                ++counts_.lost;
                continue;
            }
            if (u < flipEnd) {
                byte = static_cast<uint8_t>(byte ^ (1u << (random_() & 7)));
                ++counts_.flipped;
            } else if (u < dupEnd) {
                out.push_back(byte);
                ++counts_.duplicated;
            } else {
                out.push_back(static_cast<uint8_t>(random_()));
                ++counts_.inserted;
            }
        }
        out.push_back(byte);
    }
    counts_.bytesOut += static_cast<long long>(out.size() - before);
}

void FaultInjector::silence(size_t length)
{
    counts_.bytesIn += static_cast<long long>(length);
    counts_.outageDropped += static_cast<long long>(length);
}
