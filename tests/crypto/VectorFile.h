// Reads the "name = hex" vectors of tests/data/crypto-vectors.txt, whose sources each test cites.
#pragma once

#include <string>

#include "tests/messaging/TestBytes.h"

// The named vector; a test failure and an empty value when the file has no such name.
Bytes vec(const std::string &name);
