// The X.25 checksum of MAVLink (CRC-16/MCRF4XX): reflected 0x1021, start 0xFFFF, no final xor.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t X25_INIT_CRC = 0xFFFF;

inline void crc_init(uint16_t *crc)
{
    *crc = X25_INIT_CRC;
}

// Bitwise form: a handful of shifts per byte, no table to pull into the cache.
inline void crc_accumulate(uint8_t data, uint16_t *crc)
{
    uint8_t tmp = static_cast<uint8_t>(data ^ (*crc & 0xFF));
    tmp = static_cast<uint8_t>(tmp ^ (tmp << 4));
    *crc = static_cast<uint16_t>((*crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4));
}

inline void crc_accumulate_buffer(uint16_t *crc, const uint8_t *buf, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        crc_accumulate(buf[i], crc);
}

inline uint16_t crc_calculate(const uint8_t *buf, size_t len)
{
    uint16_t crc;
    crc_init(&crc);
    crc_accumulate_buffer(&crc, buf, len);
    return crc;
}
