#include "crypto/Wipe.h"

#include <cstring>

void secureWipe(void *data, size_t length)
{
    if (data == nullptr || length == 0)
        return;
    std::memset(data, 0, length);
    // The barrier makes the stores observable, so they survive dead-store elimination.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}
