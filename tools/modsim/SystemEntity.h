// The system entity (class 3, index 0): identity, readings, settings and the
// calls every module answers. Gets reply with the option's width, sets are
// acknowledged with option | 0xC0 and the value echoed, byte arrays travel
// as series. Options 4 (LED, sub-indices 0-1) and 34 (power limit maximum,
// sub-indices 0-3) also take a sub-index before the value; their replies
// keep the plain width so the host reads them as any other value.
#pragma once

#include "Packet.h"
#include "Uei.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace modsim {

class ModuleFirmware;
class VirtualModule;

class SystemEntity {
public:
    SystemEntity(VirtualModule& module, ModuleFirmware& firmware);

    void handle(const Packet& packet);
    // 0 when the option is implemented for the direction asked (0x40 get,
    // 0x80 set, 0 either), else the error code a request would get.
    std::uint8_t supports(std::uint8_t option, std::uint8_t flags) const;

    // Current reading of a numeric option (for streams); false when the
    // option has no number to read.
    bool readNumber(std::uint8_t option, std::uint8_t subIndex, std::uint32_t& out) const;
    // Current bytes of a byte-array option.
    bool readBytes(std::uint8_t option, std::vector<std::uint8_t>& out) const;

    // The entity store's operations on this entity.
    void save();
    void load();
    void resetToDefaults();
    // Power-on state: uptime from zero, no routing asked.
    void restarted(std::uint64_t nowMs);
    void hostLeft() { series_.clear(); }

    bool routeToMe() const { return routeToMe_; }
    std::uint64_t bootMs() const { return bootMs_; }
    // A settable value as stored (sub-index 0 for plain options).
    std::uint32_t setting(std::uint8_t option, std::uint8_t subIndex = 0) const;

private:
    struct OptionInfo;
    static const OptionInfo* find(std::uint8_t option);
    void get(const OptionInfo& info, const UeiRequest& request);
    void set(const OptionInfo& info, const UeiRequest& request);
    void setBytes(const UeiRequest& request);
    std::uint8_t storeNumber(std::uint8_t option, std::uint8_t subIndex, std::uint32_t value);
    void call(std::uint8_t option);
    bool nameAvailable() const;

    using Settings = std::map<std::uint16_t, std::uint32_t>;  // option << 8 | sub-index
    struct Snapshot {
        Settings settings;
        std::string name;
        std::vector<std::uint8_t> powerConfig;
    };
    Snapshot snapshot() const;
    void apply(const Snapshot& s);

    VirtualModule& module_;
    ModuleFirmware& firmware_;
    Settings settings_;
    Snapshot defaults_;
    Snapshot saved_;
    std::map<std::uint8_t, SeriesReceiver> series_;  // per byte-array option
    std::uint64_t bootMs_ = 0;
    bool routeToMe_ = false;
};

}  // namespace modsim
