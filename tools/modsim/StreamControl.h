// Stream control (class 93, index 0) and the samples it makes the module
// push. Option 1 set with a 32-bit key (bits 24-31 module, 16-23 class,
// 8-15 option, 0-7 index; 0xFF in the last three = any) enables the
// configured stream sources the key covers; option 2 set disables every
// enabled key the given key covers; option 1 get answers 1 while anything
// streams. Every enabled source emits streamRateHz samples a second, all
// samples due being sent at each tick, timestamped in microseconds of the
// module's uptime at the instant each sample was due.
//
// Sample packet: command, option, index | 0x40, type, [sub-index for types
// 5-7], timestamp high and low halves (most significant byte first), value
// (1, 2 or 4 bytes, most significant first), trailer 0. A byte-array source
// (type 4) sends its bytes as a series: command, option, index | 0x40, 4,
// up to 23 bytes, trailer (continue bit, sequence).
#pragma once

#include "Packet.h"

#include <cstdint>
#include <vector>

namespace modsim {

class ModuleFirmware;
class VirtualModule;

class StreamControl {
public:
    StreamControl(VirtualModule& module, ModuleFirmware& firmware);

    void handle(const Packet& packet);
    void tick(std::uint64_t nowMs);
    void stopAll() { keys_.clear(); }
    bool streaming() const { return !keys_.empty(); }
    const std::vector<std::uint32_t>& keys() const { return keys_; }
    // Samples per second of each enabled source; the schedule starts over.
    void setRate(std::uint32_t hz);
    std::uint64_t samplesSent() const { return samples_; }
    std::uint64_t samplesSkipped() const { return skipped_; }

private:
    bool enabled(std::uint8_t command, std::uint8_t option, std::uint8_t index) const;
    void emit(std::uint64_t dueUs);
    std::uint64_t dueUs(std::uint64_t n) const;

    VirtualModule& module_;
    ModuleFirmware& firmware_;
    std::vector<std::uint32_t> keys_;
    std::uint64_t startUs_ = 0;  // module clock when the schedule started
    std::uint64_t next_ = 0;     // number of the next sample round
    bool scheduled_ = false;
    std::uint64_t samples_ = 0;
    std::uint64_t skipped_ = 0;
};

}  // namespace modsim
