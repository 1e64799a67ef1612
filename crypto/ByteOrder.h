// Big-endian loads and stores of the record fields and key words.
#pragma once

#include <cstdint>

inline uint64_t loadBig64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}

inline uint32_t loadBig32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void storeBig64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = uint8_t(v);
}

inline void storeBig32(uint8_t *p, uint32_t v)
{
    for (int i = 3; i >= 0; --i, v >>= 8)
        p[i] = uint8_t(v);
}
