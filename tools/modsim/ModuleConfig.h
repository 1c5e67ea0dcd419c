// What a simulated module is: its identity, the readings it reports, the
// sizes of its stores, how its loader behaves and the timings it keeps.
#pragma once

#include "UpdateFaults.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace modsim {

// An option the module can stream, and the sample type it uses for it.
// Types 5..7 carry a sub-index from 0 to subIndices - 1 (one sample each);
// type 4 sends the option's byte array as a stream series.
struct StreamSource {
    std::uint8_t command = 3;
    std::uint8_t option = 0;
    std::uint8_t index = 0;
    std::uint8_t type = 3;
    std::uint8_t subIndices = 1;
};

// The default table, all on the system entity (class 3, index 0):
//   type 1 option 29 input power source      type 5 option 4 LED, sub-indices 0-1
//   type 2 option 3 heartbeat interval        type 6 option 42 LED max brightness, 0-1
//   type 3 option 27 temperature, option 22   type 7 option 34 power limit max, 0-3
//          uptime, option 12 input voltage    type 4 option 32 name (byte series)
std::vector<StreamSource> defaultStreamSources();

// A module on the I2C bus of a router (see ModuleConfig::behind).
struct BehindModule {
    std::uint32_t serial = 0;
    std::uint8_t address = 0;  // even, not the router's
    std::uint8_t model = 13;
    std::uint8_t versionMajor = 1;
    std::uint8_t versionMinor = 0;
    std::uint8_t versionPatch = 0;
    std::uint32_t build = 1;
    std::string name;
    std::string imageOut;  // flash dump of this module, empty for none
};

struct ModuleConfig {
    std::uint32_t serial = 0x5EED0001;
    std::uint8_t model = 13;
    std::uint8_t address = 2;        // even, non-zero
    std::uint8_t routerAddress = 0;  // 0: the module routes to itself
    std::uint8_t versionMajor = 1;
    std::uint8_t versionMinor = 0;
    std::uint8_t versionPatch = 0;
    std::uint32_t build = 1;
    std::string name = "modsim";

    std::uint32_t heartbeatMs = 0;         // 0 = no heartbeats
    std::uint32_t heartbeatTimeoutMs = 0;  // 0 = one interval
    std::uint32_t interByteTimeoutMs = 100;  // a half-received packet older than this is dropped

    // Readings of the system entity. Voltages in microvolts, currents in
    // microamperes, temperatures in millionths of a degree Celsius, power in
    // milliwatts.
    std::int32_t inputVoltage = 5012000;
    std::int32_t inputCurrent = 182000;
    std::int32_t unregulatedVoltage = 5100000;
    std::int32_t unregulatedCurrent = -3000;
    std::int32_t temperature = 31500000;
    std::int32_t minimumTemperature = -12250000;
    std::int32_t maximumTemperature = 48000000;
    std::uint8_t inputPowerSource = 1;
    std::uint32_t powerLimit = 10000;
    std::uint32_t hardwareVersion = 0x00030001;
    // The chip's unique identifier as its four registers hold it (option 39,
    // sub-index 0 to 3); the host shows sub-index 3 first.
    std::uint32_t uniqueId[4] = {0x0C0FFEE0, 0x1CEB00DA, 0x2BADF00D, 0x3DEFACED};
    std::uint8_t hardwareOffset = 0;
    std::uint8_t baseAddress = 2;
    std::vector<std::uint8_t> powerBehaviorConfig{0, 0, 0, 1, 0, 0, 0x13, 0x88};  // 32-bit words
    std::uint32_t protocolFeatureBits = 0x00000001;  // bit 31 comes from pooledPackets
    bool pooledPackets = true;

    // Store slots: storeCount stores of slotsPerStore slots each.
    unsigned storeCount = 2;
    unsigned slotsPerStore = 4;
    std::uint16_t slotCapacity = 2048;

    // Factory data areas 0..factoryIndexCount-1 (at most 16), their initial bytes.
    unsigned factoryIndexCount = 4;
    std::uint16_t factoryCapacity = 256;
    std::map<std::uint8_t, std::vector<std::uint8_t>> factoryData;

    // Samples per second of every enabled source.
    std::uint32_t streamRateHz = 100;
    std::vector<StreamSource> streamSources = defaultStreamSources();

    // Upgrade loader.
    std::uint16_t blockSize = 512;
    std::uint32_t loadBase = 0x10000000;
    bool ueiData = true;           // accepts data as a UEI set of class 95, option 10
    bool buildQuery = true;        // answers the build query (command 73, 0xFF)
    bool reenumerate = true;       // drops the host after LOAD and REBOOT ...
    std::uint32_t reenumerateMs = 300;  // ... and stays away this long
    std::string imageOut;          // flash dump path, empty for none
    std::uint32_t flashBase = 0;   // first address of the dump
    UpdateFaults updateFaults;

    // Makes the module a router with these modules on its I2C bus.
    std::vector<BehindModule> behind;

    // Packed firmware version as the modules report it.
    std::uint32_t packedVersion() const {
        if (versionMajor > 2 || (versionMajor == 2 && versionMinor > 14))
            return 0x2F000000u | std::uint32_t(versionMajor) << 16 | std::uint32_t(versionMinor) << 8 | versionPatch;
        return std::uint32_t(versionMajor) << 28 | std::uint32_t(versionMinor & 0xF) << 24 | versionPatch;
    }
    bool versionAtLeast(unsigned major, unsigned minor, unsigned patch) const {
        if (versionMajor != major) return versionMajor > major;
        if (versionMinor != minor) return versionMinor > minor;
        return versionPatch >= patch;
    }
};

// Parses "X.Y.Z" into the config's version fields.
bool parseVersion(const std::string& text, ModuleConfig& config);

}  // namespace modsim
