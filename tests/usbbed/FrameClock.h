// An optional full-speed bus timing model: 1 ms frames, fixed-size packets and
// a bounded number of bulk packets per frame, shared by both directions.
#pragma once

#include <cstdint>

namespace usbbed {

struct Timing {
    bool enabled = false;
    std::uint32_t frameUs = 1000;
    std::uint32_t packetBytes = 64;
    // Full speed carries at most 19 bulk packets of 64 bytes in a frame
    // (about 1.2 MB/s); a busy bus gives less.
    std::uint32_t packetsPerFrame = 19;
};

class FrameClock {
public:
    void configure(const Timing& timing) { timing_ = timing; frame_ = 0; used_ = 0; }
    const Timing& timing() const { return timing_; }
    bool enabled() const { return timing_.enabled; }
    // Books the packets a transfer of bytes needs (a zero-length or short
    // transfer still takes one) from nowUs on; returns when its last frame ends.
    std::uint64_t book(std::uint32_t bytes, std::uint64_t nowUs);

private:
    Timing timing_;
    std::uint64_t frame_ = 0;  // the frame being filled
    std::uint32_t used_ = 0;   // packets already booked in it
};

}  // namespace usbbed
