#include "LinkSpec.h"

#include <cstring>

namespace modsim {

namespace {
void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
}  // namespace

std::array<std::uint8_t, 128> encodeLinkSpec(const LinkSpecFields& f) {
    std::array<std::uint8_t, 128> b{};
    put32(&b[0], f.type);
    put32(&b[4], f.serial);
    put32(&b[8], f.moduleAddress);
    put32(&b[12], f.routerAddress);
    put32(&b[16], f.routerSerial);
    put32(&b[20], f.model);
    // The address keeps its network byte order: copy the bytes as they are.
    std::memcpy(&b[24], &f.ipv4NetworkOrder, 4);
    put32(&b[28], f.port & 0xFFFF);
    return b;
}

LinkSpecFields decodeLinkSpec(const std::uint8_t* b) {
    LinkSpecFields f;
    f.type = get32(b);
    f.serial = get32(b + 4);
    f.moduleAddress = get32(b + 8);
    f.routerAddress = get32(b + 12);
    f.routerSerial = get32(b + 16);
    f.model = get32(b + 20);
    std::memcpy(&f.ipv4NetworkOrder, b + 24, 4);
    f.port = get32(b + 28);
    return f;
}

bool isLegacyQuery(const std::uint8_t* bytes, std::size_t length) {
    return length == 16 && bytes[0] == 1;
}

std::array<std::uint8_t, 16> encodeLegacyReply(std::uint8_t address, std::uint16_t port, std::uint32_t serial,
                                               std::uint8_t model) {
    std::array<std::uint8_t, 16> b{};
    b[1] = address;
    b[2] = std::uint8_t(port);
    b[3] = std::uint8_t(port >> 8);
    put32(&b[4], serial);
    b[12] = model;
    return b;
}

}  // namespace modsim
