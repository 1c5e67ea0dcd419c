// What a simulated module is: its identity and the timings it keeps.
#pragma once

#include <cstdint>
#include <string>

namespace modsim {

struct ModuleConfig {
    std::uint32_t serial = 0x5EED0001;
    std::uint8_t model = 13;
    std::uint8_t address = 2;        // even, non-zero
    std::uint8_t versionMajor = 1;
    std::uint8_t versionMinor = 0;
    std::uint8_t versionPatch = 0;
    std::uint32_t build = 1;
    std::string name = "modsim";

    std::uint32_t heartbeatMs = 0;         // 0 = no heartbeats
    std::uint32_t heartbeatTimeoutMs = 0;  // 0 = one interval
    std::uint32_t interByteTimeoutMs = 100;  // a half-received packet older than this is dropped

    // Packed firmware version as the modules report it.
    std::uint32_t packedVersion() const {
        if (versionMajor > 2 || (versionMajor == 2 && versionMinor > 14))
            return 0x2F000000u | std::uint32_t(versionMajor) << 16 | std::uint32_t(versionMinor) << 8 | versionPatch;
        return std::uint32_t(versionMajor) << 28 | std::uint32_t(versionMinor & 0xF) << 24 | versionPatch;
    }
};

// Parses "X.Y.Z" into the config's version fields.
bool parseVersion(const std::string& text, ModuleConfig& config);

}  // namespace modsim
