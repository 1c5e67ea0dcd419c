// The 128-byte little-endian link specifier link servers announce, and the
// 16-byte answer to the legacy UDP discovery query.
#pragma once

#include <array>
#include <cstdint>

namespace modsim {

struct LinkSpecFields {
    std::uint32_t type = 4;           // 1 USB, 2 TCP/IP, 3 serial, 4..7 network client
    std::uint32_t serial = 0;
    std::uint32_t moduleAddress = 0;
    std::uint32_t routerAddress = 0;
    std::uint32_t routerSerial = 0;
    std::uint32_t model = 0;
    std::uint32_t ipv4NetworkOrder = 0;  // as in sin_addr.s_addr
    std::uint32_t port = 0;
};

std::array<std::uint8_t, 128> encodeLinkSpec(const LinkSpecFields& f);
LinkSpecFields decodeLinkSpec(const std::uint8_t* bytes);  // 128 bytes

// Request: byte 0 = 1, 15 zero bytes.
bool isLegacyQuery(const std::uint8_t* bytes, std::size_t length);
std::array<std::uint8_t, 16> encodeLegacyReply(std::uint8_t address, std::uint16_t port, std::uint32_t serial,
                                               std::uint8_t model);

}  // namespace modsim
