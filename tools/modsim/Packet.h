// One link packet as the module sees it: address, then up to 28 data bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace modsim {

constexpr std::uint8_t kSyncAddress = 0xAD;
constexpr std::uint8_t kForceRouteAddress = 0xAF;
constexpr std::size_t kMaxData = 28;

struct Packet {
    std::uint8_t address = 0;
    std::vector<std::uint8_t> data;

    // Wire form: address, length, data.
    std::vector<std::uint8_t> wire() const {
        std::vector<std::uint8_t> out;
        out.reserve(data.size() + 2);
        out.push_back(address);
        out.push_back(static_cast<std::uint8_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
    bool operator==(const Packet& o) const { return address == o.address && data == o.data; }
};

}  // namespace modsim
