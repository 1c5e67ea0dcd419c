#include "Uu.h"

namespace lpcsim {

namespace {
char enc(uint32_t v)
{
    v &= 0x3F;
    return v == 0 ? '`' : char(v + 32);
}
uint32_t dec(char c)
{
    return (uint32_t(uint8_t(c)) - 32) & 0x3F;
}
}  // namespace

std::string uuLine(const uint8_t* bytes, std::size_t count)
{
    std::string line(1, enc(uint32_t(count)));
    for (std::size_t i = 0; i < count; i += 3) {
        const uint32_t group = uint32_t(bytes[i]) << 16 | uint32_t(i + 1 < count ? bytes[i + 1] : 0) << 8 |
                               uint32_t(i + 2 < count ? bytes[i + 2] : 0);
        for (int shift = 18; shift >= 0; shift -= 6) line += enc(group >> shift);
    }
    return line;
}

std::vector<uint8_t> uuDecodeLine(const std::string& line)
{
    std::vector<uint8_t> out;
    if (line.empty()) return out;
    const std::size_t count = dec(line[0]);
    for (std::size_t pos = 1; out.size() < count; pos += 4) {
        uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) group = group << 6 | (pos + k < line.size() ? dec(line[pos + k]) : 0);
        for (int k = 0; k < 3 && out.size() < count; ++k) out.push_back(uint8_t(group >> (16 - 8 * k)));
    }
    return out;
}

}  // namespace lpcsim
