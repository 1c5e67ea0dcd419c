// The numbers the module and its host agree on: command codes, error codes
// and big-endian field helpers. Written from the protocol description, not
// taken from the host's headers, so that a misreading on either side shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modsim {

// Command bytes (data byte 0).
constexpr std::uint8_t kCmdHeartbeat = 0;
constexpr std::uint8_t kCmdSystem = 3;
constexpr std::uint8_t kCmdSlot = 4;
constexpr std::uint8_t kCmdI2C = 8;
constexpr std::uint8_t kCmdDebug = 23;
constexpr std::uint8_t kCmdQuery = 73;
constexpr std::uint8_t kCmdEntityStore = 92;
constexpr std::uint8_t kCmdStream = 93;
constexpr std::uint8_t kCmdFactory = 94;
constexpr std::uint8_t kCmdUpgrade = 95;

// Error codes as the modules report them (data byte 3 of an error reply,
// the status byte of raw replies).
namespace err {
constexpr std::uint8_t kNone = 0;
constexpr std::uint8_t kParam = 2;
constexpr std::uint8_t kNotFound = 3;
constexpr std::uint8_t kBusy = 5;
constexpr std::uint8_t kMode = 7;
constexpr std::uint8_t kRange = 13;
constexpr std::uint8_t kSize = 14;
constexpr std::uint8_t kOverrun = 15;
constexpr std::uint8_t kUnimplemented = 21;
constexpr std::uint8_t kPacket = 24;
constexpr std::uint8_t kIndexRange = 26;
constexpr std::uint8_t kInvalidEntity = 28;
constexpr std::uint8_t kInvalidOption = 29;
}  // namespace err

// Data byte 0 values that never start an entity message.
inline bool isRawCommand(std::uint8_t command) {
    switch (command) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24: case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

inline void putBE16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

inline void putBE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(v >> shift));
}

inline std::uint16_t getBE16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }

inline std::uint32_t getBE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

}  // namespace modsim
