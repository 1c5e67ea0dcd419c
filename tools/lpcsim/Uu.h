// The ISP's line encoding: a length character, then four characters for
// every three bytes, each 6-bit value as value + 32 (0 as a backquote).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lpcsim {

std::string uuLine(const uint8_t* bytes, std::size_t count);

// The bytes a line announces in its length character, decoded; characters
// missing from a short line decode as 0, so a damaged line still yields its
// announced count and shows up in the block's checksum.
std::vector<uint8_t> uuDecodeLine(const std::string& line);

}  // namespace lpcsim
