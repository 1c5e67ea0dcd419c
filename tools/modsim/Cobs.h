// Framing for packetized serial links: a packet's wire bytes plus a CRC-8
// (Dallas/Maxim, reflected 0x31, start 0, no final xor), byte-stuffed so that
// the only zero on the line is the frame delimiter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace modsim {

std::uint8_t crc8Maxim(const std::uint8_t* bytes, std::size_t length);

// Plain byte stuffing, without the trailing delimiter.
std::vector<std::uint8_t> cobsEncode(const std::vector<std::uint8_t>& in);
// Reverse of cobsEncode; nothing when a code byte points past the end.
std::optional<std::vector<std::uint8_t>> cobsDecode(const std::vector<std::uint8_t>& in);

// Wire bytes of one packet -> stuffed frame with CRC and delimiter.
std::vector<std::uint8_t> frameEncode(const std::vector<std::uint8_t>& wire);

// Longest stuffed frame (before the delimiter) the link accepts.
constexpr std::size_t kMaxEncodedFrame = 31;

// Receives line bytes one at a time and hands out the wire bytes of every
// good frame. Bad frames (overlong, bad stuffing, length byte disagreeing with
// the size, wrong CRC) are counted and skipped.
class FrameDecoder {
public:
    // Returns the decoded wire bytes when b completes a good frame.
    std::optional<std::vector<std::uint8_t>> push(std::uint8_t b);
    unsigned badFrames() const { return bad_; }

private:
    std::vector<std::uint8_t> buf_;
    bool overflow_ = false;
    unsigned bad_ = 0;
};

}  // namespace modsim
