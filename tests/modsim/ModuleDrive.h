// Driving a VirtualModule with whole packets and reading what it answers.
#pragma once

#include "VirtualModule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace modsimtest {

using Bytes = std::vector<std::uint8_t>;

// Feeds one packet and returns every packet the module answered.
inline std::vector<modsim::Packet> exchange(modsim::VirtualModule& m, std::uint8_t address, const Bytes& data,
                                            std::uint64_t nowMs = 0) {
    m.feed(modsim::Packet{address, data}.wire(), nowMs);
    return m.takeOutput();
}

// The data of the one answer a request gets, which must come from `address`.
inline Bytes ask(modsim::VirtualModule& m, std::uint8_t address, const Bytes& data, std::uint64_t nowMs = 0) {
    const std::vector<modsim::Packet> out = exchange(m, address, data, nowMs);
    if (out.size() != 1) {
        ADD_FAILURE() << out.size() << " answers to a request starting " << int(data.empty() ? -1 : data[0]);
        return {};
    }
    EXPECT_EQ(out[0].address, address);
    return out[0].data;
}

inline Bytes be32(std::uint32_t v) {
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace modsimtest
