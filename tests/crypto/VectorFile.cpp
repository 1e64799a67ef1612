#include "VectorFile.h"

#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace {

const std::map<std::string, Bytes> &values()
{
    static const std::map<std::string, Bytes> v = [] {
        std::map<std::string, Bytes> v;
        std::ifstream in(std::string(UAV_TEST_DATA_DIR) + "/crypto-vectors.txt");
        std::string line, key, eq, hex;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            if (line[0] != '#' && fields >> key >> eq && eq == "=")
                v[key] = fromHex(std::getline(fields, hex) ? hex : "");
        }
        return v;
    }();
    return v;
}

} // namespace

Bytes vec(const std::string &name)
{
    const auto it = values().find(name);
    if (it == values().end())
        ADD_FAILURE() << "vector missing from crypto-vectors.txt: " << name;
    return it == values().end() ? Bytes() : it->second;
}

std::vector<std::string> vectorCases()
{
    std::vector<std::string> cases;
    for (const auto &entry : values()) {
        const std::string c = entry.first.substr(0, entry.first.rfind('.'));
        if (cases.empty() || cases.back() != c)
            cases.push_back(c);
    }
    return cases;
}
