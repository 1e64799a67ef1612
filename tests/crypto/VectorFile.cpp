#include "VectorFile.h"

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

const VectorFile &VectorFile::instance()
{
    static const VectorFile file = [] {
        VectorFile f;
        const std::string path = std::string(UAV_TEST_DATA_DIR) + "/crypto-vectors.txt";
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string name = line.substr(0, eq);
            std::string value = line.substr(eq + 1);
            auto trim = [](std::string &s) {
                s.erase(0, s.find_first_not_of(" \t\r"));
                s.erase(s.find_last_not_of(" \t\r") + 1);
            };
            trim(name);
            trim(value);
            f.values_[name] = fromHex(value);
        }
        return f;
    }();
    return file;
}

Bytes VectorFile::get(const std::string &name) const
{
    const auto it = values_.find(name);
    if (it == values_.end()) {
        ADD_FAILURE() << "vector missing from crypto-vectors.txt: " << name;
        return {};
    }
    return it->second;
}

Bytes fromHex(const std::string &hex)
{
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    int high = -1;
    for (char c : hex) {
        const int v = nibble(c);
        if (v < 0)
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::string toHex(const uint8_t *data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < length; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 15];
    }
    return s;
}

Bytes reversed(Bytes data)
{
    std::reverse(data.begin(), data.end());
    return data;
}

Bytes concat(const Bytes &a, const Bytes &b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}
