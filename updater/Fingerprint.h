// The 128-bit unique identifier of a processor chip, word 0 first.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
