// One discovered module, as the discovery operations describe it.
#pragma once

#include <cstdint>
#include <string>

#include "aLinkSpec.h"

struct DeviceInfo {
    linkSpec spec{};           // how the module was found
    uint16_t networkAddress = 0;  // I2C address behind a router (network discovery only)
    uint32_t build = 0;        // firmware build number, 0 when unknown
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string deviceName;    // user-assigned name, empty when not read
    uint32_t error = 0;        // first aErr met while querying, 0 when all succeeded
};
