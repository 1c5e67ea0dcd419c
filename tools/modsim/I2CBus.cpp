#include "I2CBus.h"

#include "VirtualModule.h"
#include "Wire.h"

namespace modsim {

namespace {
constexpr std::uint8_t kFailed = 0x80;
constexpr std::size_t kMaxTransfer = 23;
constexpr std::uint8_t kMaxSpeed = 3;
}  // namespace

void I2CBus::handle(const Packet& p) {
    const std::vector<std::uint8_t>& d = p.data;
    const std::uint8_t self = module_.config().address;
    if (d.size() == 4 && d[2] == 1) {
        const std::uint8_t status = d[1] == 0 ? err::kNone : std::uint8_t(kFailed | err::kIndexRange);
        if (status == err::kNone) pullUp_ = d[3] != 0;
        module_.send(Packet{self, {kCmdI2C, d[1], 1, d[3], status}});
        return;
    }
    if (d.size() < 5) return;
    const std::uint8_t index = d[1], address = d[2], length = d[3], speed = d[4];
    const bool read = address & 1;
    std::uint8_t status = err::kNone;
    if (index != 0) {
        status = kFailed | err::kIndexRange;
    } else if (length > kMaxTransfer) {
        status = kFailed | err::kSize;
    } else if (speed > kMaxSpeed || (read ? d.size() != 5 : d.size() != std::size_t(5) + length)) {
        status = kFailed | err::kParam;
    } else if (!present_ || !present_(std::uint8_t(address & 0xFE))) {
        status = kFailed | err::kNotFound;
        ++stats_.unanswered;
    } else {
        ++stats_.acknowledged;
    }
    if (read) {
        ++stats_.reads;
        Packet reply{self, {kCmdI2C, index, address, length, status}};
        if (status == err::kNone) reply.data.resize(reply.data.size() + length, 0);
        module_.send(std::move(reply));
    } else {
        ++stats_.writes;
        module_.send(Packet{self, {kCmdI2C, index, address, 0, status}});
    }
}

}  // namespace modsim
