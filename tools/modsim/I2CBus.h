// The I2C class (command 8) as raw packets on bus index 0:
//   write    8, index, address, length, speed, data -> 8, index, address, 0, status
//   read     8, index, address|1, length, speed     -> 8, index, address|1, length, status, bytes
//   pull-up  8, index, 1, enable                    -> 8, index, 1, enable, status
// Status 0 is success; a failure sets bit 7 over the error code: 0x83
// (aErrNotFound) when no device acknowledges the address, 0x9A for a bus
// index other than 0, 0x8E for more than 23 bytes, 0x82 for a malformed
// request. The devices on the bus are whatever `present` says (nothing on a
// plain module, the modules behind a router); a device reads as zeros.
#pragma once

#include "Packet.h"

#include <cstdint>
#include <functional>

namespace modsim {

class VirtualModule;

struct I2CStats {
    unsigned writes = 0;
    unsigned reads = 0;
    unsigned acknowledged = 0;
    unsigned unanswered = 0;  // no device at the address
};

class I2CBus {
public:
    using Presence = std::function<bool(std::uint8_t address)>;
    I2CBus(VirtualModule& module, Presence present) : module_(module), present_(std::move(present)) {}

    void handle(const Packet& packet);
    bool pullUp() const { return pullUp_; }
    const I2CStats& stats() const { return stats_; }

private:
    VirtualModule& module_;
    Presence present_;
    bool pullUp_ = false;
    I2CStats stats_;
};

}  // namespace modsim
