// Reads the "name = hex" vector file (tests/data/crypto-vectors.txt) and small byte helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class VectorFile {
public:
    // Loads ${UAV_TEST_DATA_DIR}/crypto-vectors.txt once per process.
    static const VectorFile &instance();

    bool has(const std::string &name) const { return values_.count(name) != 0; }
    // Adds a test failure and returns an empty value when the name is missing.
    Bytes get(const std::string &name) const;
    size_t size() const { return values_.size(); }

private:
    std::map<std::string, Bytes> values_;
};

Bytes fromHex(const std::string &hex);
std::string toHex(const uint8_t *data, size_t length);
inline std::string toHex(const Bytes &data) { return toHex(data.data(), data.size()); }
Bytes reversed(Bytes data);
Bytes concat(const Bytes &a, const Bytes &b);
