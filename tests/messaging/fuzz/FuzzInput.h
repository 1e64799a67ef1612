// What every fuzz harness here shares: a failed property ends the run, and the input is read
// as a little program, a byte at a time, with zeros once it runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

inline void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct FuzzInput {
    const uint8_t *data;
    size_t size, offset = 0;
    bool empty() const { return offset >= size; }
    uint8_t byte() { return offset < size ? data[offset++] : 0; }
    uint16_t word() { return uint16_t(byte() | byte() << 8); }
    void fill(uint8_t *out, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            out[i] = byte();
    }
};
