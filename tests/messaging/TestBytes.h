// Byte helpers shared by the test areas: hex both ways, concatenation, big-endian numbers.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Anything that is not a hex digit (spaces, line breaks) is skipped.
inline Bytes fromHex(const std::string &hex)
{
    std::string digits;
    for (char c : hex)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    Bytes out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
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

// n bytes that differ from their neighbours; the seed tells buffers apart.
inline Bytes patternBytes(size_t n, uint8_t seed)
{
    Bytes p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = uint8_t(seed + i * 13);
    return p;
}
