// Store slots (command 4): a few stores of a few slots each, opened through
// handles and read or written 25 bytes at a time. Opening a slot for
// writing empties it. Error replies set 0x80 on the sub-command and carry
// the code after the echoed store and slot (sub-commands 1-4) or handle
// (6-8): aErrIndexRange for a store or slot that does not exist, aErrParam
// for an unknown handle or a malformed request, aErrMode for a read through
// a write handle and back, aErrOverrun for a write past the capacity,
// aErrBusy when the slot is already open for writing or all handles are in use.
#pragma once

#include "Packet.h"

#include <cstdint>
#include <map>
#include <vector>

namespace modsim {

class VirtualModule;

class StoreSlots {
public:
    explicit StoreSlots(VirtualModule& module);

    void handle(const Packet& packet);
    void closeAll() { handles_.clear(); }

    // Inspection and set-up; null for a slot that does not exist.
    std::vector<std::uint8_t>* slot(std::uint8_t store, std::uint8_t slot);
    std::size_t openHandles() const { return handles_.size(); }

private:
    struct Handle {
        std::uint8_t store;
        std::uint8_t slot;
        bool write;
        std::size_t position;
    };
    void slotRequest(std::uint8_t sub, const Packet& p);
    void handleRequest(std::uint8_t sub, const Packet& p);
    void reply(std::vector<std::uint8_t> data);

    VirtualModule& module_;
    std::vector<std::vector<std::vector<std::uint8_t>>> stores_;  // [store][slot]
    std::map<std::uint8_t, Handle> handles_;
    std::uint8_t nextHandle_ = 1;
};

}  // namespace modsim
