// Erasing key-dependent memory in a way the optimiser cannot drop.
#pragma once

#include <cstddef>

void secureWipe(void *data, size_t length);
