// Reads the "name = hex" vectors of tests/data/crypto-vectors.txt, which cites their sources.
#pragma once

#include <string>
#include <vector>

#include "tests/messaging/TestBytes.h"

// The named vector; a test failure and an empty value when the file has no such name.
Bytes vec(const std::string &name);
// Every "<group>.<case>" of the file, sorted.
std::vector<std::string> vectorCases();
