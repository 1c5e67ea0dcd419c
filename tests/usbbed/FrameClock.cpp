#include "FrameClock.h"

#include <algorithm>

namespace usbbed {

std::uint64_t FrameClock::book(std::uint32_t bytes, std::uint64_t nowUs) {
    if (!timing_.enabled) return nowUs;
    const std::uint32_t size = std::max<std::uint32_t>(timing_.packetBytes, 1);
    const std::uint32_t perFrame = std::max<std::uint32_t>(timing_.packetsPerFrame, 1);
    std::uint32_t packets = std::max<std::uint32_t>((bytes + size - 1) / size, 1);
    const std::uint64_t nowFrame = nowUs / timing_.frameUs;
    if (nowFrame > frame_) {
        frame_ = nowFrame;
        used_ = 0;
    }
    while (packets > 0) {
        if (used_ == perFrame) {
            ++frame_;
            used_ = 0;
        }
        const std::uint32_t take = std::min(packets, perFrame - used_);
        used_ += take;
        packets -= take;
    }
    return (frame_ + 1) * timing_.frameUs;
}

}  // namespace usbbed
