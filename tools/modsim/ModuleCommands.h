// The commands every simulated module answers beyond link control: echo
// (command 23), the build query (command 73, sub-code 0xFF) and the model read
// of the system entity (command 3, option 8).
#pragma once

#include <cstdint>

namespace modsim {

class VirtualModule;

constexpr std::uint8_t kCmdSystem = 3;
constexpr std::uint8_t kCmdDebug = 23;
constexpr std::uint8_t kCmdQuery = 73;
constexpr std::uint8_t kSystemOptionModel = 8;
constexpr std::uint8_t kErrInvalidOption = 29;

void installStandardCommands(VirtualModule& module);

}  // namespace modsim
