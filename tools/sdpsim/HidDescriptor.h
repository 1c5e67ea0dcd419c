// What the ROM shows the USB host when it presents itself as a HID device:
// the vendor and product IDs of an i.MX RT in serial download mode, and the
// report descriptor that declares its four reports (1: command, 16 bytes out;
// 2: payload, 1024 bytes out; 3: security mode, 4 bytes in; 4: status or
// data, 64 bytes in). A HID stand-in hands these to the host's enumeration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sdpsim {

constexpr uint16_t kRomVendorId = 0x1FC9;
constexpr uint16_t kRomProductId = 0x0130;

// Report sizes without the report id, as the descriptor declares them.
constexpr std::size_t kCommandReportSize = 16;
constexpr std::size_t kPayloadReportSize = 1024;
constexpr std::size_t kModeReportSize = 4;
constexpr std::size_t kStatusReportSize = 64;

std::vector<uint8_t> hidReportDescriptor();

}  // namespace sdpsim
