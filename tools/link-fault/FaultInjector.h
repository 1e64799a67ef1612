// Seeded faults on one direction of a radio link: byte loss, bit flips, duplicated bytes and
// inserted noise, each drawn per byte at its own rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

struct FaultRates {
    double loss = 0;   // the byte never arrives
    double flip = 0;   // one of its bits is inverted
    double dup = 0;    // it arrives twice
    double noise = 0;  // a random byte arrives before it
};

struct FaultCounts {
    long long bytesIn = 0;
    long long bytesOut = 0;
    long long lost = 0;
    long long flipped = 0;
    long long duplicated = 0;
    long long inserted = 0;
    long long outageDropped = 0;  // swallowed whole while the link was silent
    long long overflow = 0;       // the far end did not take them in time
};

class FaultInjector {
public:
    FaultInjector(const FaultRates &rates, uint64_t seed);

    // Appends to out what the far end receives for these bytes. With faults off the bytes
    // pass unchanged and no random draw is spent, so a run is repeatable from the moment
    // the faults are switched on.
    void pass(const uint8_t *in, size_t length, std::vector<uint8_t> &out);
    void silence(size_t length);
    void setEnabled(bool enabled) { enabled_ = enabled; }

    FaultCounts &counts() { return counts_; }

private:
    FaultRates rates_;
    std::mt19937_64 random_;
    bool enabled_ = true;
    FaultCounts counts_;
};
