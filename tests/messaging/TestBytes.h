// Byte helpers shared by the test areas: hex both ways, concatenation, big-endian numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Anything that is not a hex digit (spaces, line breaks) is skipped.
inline Bytes fromHex(const std::string &hex)
{
    Bytes out;
    int high = -1;
    for (char c : hex) {
        const int v = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (v >= 0 && high < 0)
            high = v;
        else if (v >= 0)
            out.push_back(uint8_t(high << 4 | v)), high = -1;
    }
    return out;
}

inline std::string toHex(const uint8_t *data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < length; ++i)
        s += {kDigits[data[i] >> 4], kDigits[data[i] & 15]};
    return s;
}

inline std::string toHex(const Bytes &data) { return toHex(data.data(), data.size()); }

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline uint64_t readBig(const uint8_t *bytes, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = v << 8 | bytes[i];
    return v;
}

inline Bytes big(uint64_t v, size_t n)
{
    Bytes out(n);
    for (size_t i = n; i-- > 0; v >>= 8)
        out[i] = uint8_t(v);
    return out;
}
