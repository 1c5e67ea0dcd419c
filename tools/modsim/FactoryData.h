// Factory data (command 94): one byte area per index 0..15. A set series
// starts with index | 0x50, goes on with index | 0x10, up to 26 bytes each,
// every packet acknowledged 94, index; a get series starts with
// index | 0x40, goes on with index, each reply 94, index and up to 26 bytes
// (a full reply of 28 means more may follow). The closing packet 94, 0x20,
// count (16-bit) is acknowledged 94, 0 when the count matches what the
// series moved; only then does a set series replace the area. Errors set
// 0x80 in byte 1 and carry the code in byte 2: aErrIndexRange for an index
// the module does not have, aErrOverrun past the capacity, aErrMode for a
// packet that continues no series, aErrSize for a count that does not match.
#pragma once

#include "Packet.h"

#include <cstdint>
#include <vector>

namespace modsim {

class VirtualModule;

class FactoryData {
public:
    explicit FactoryData(VirtualModule& module);

    void handle(const Packet& packet);
    void endSeries() { series_ = Series::None; }

    // Inspection; null for an index the module does not have.
    const std::vector<std::uint8_t>* area(std::uint8_t index) const;

private:
    enum class Series { None, Set, Get };
    void reply(std::uint8_t byte1, const std::vector<std::uint8_t>& rest = {});
    void fail(std::uint8_t byte1, std::uint8_t code);
    void close(const Packet& p);

    VirtualModule& module_;
    std::vector<std::vector<std::uint8_t>> areas_;
    Series series_ = Series::None;
    std::uint8_t index_ = 0;
    std::vector<std::uint8_t> incoming_;
    std::size_t position_ = 0;
};

}  // namespace modsim
