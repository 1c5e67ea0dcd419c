#include "SystemEntity.h"

#include "ModuleFirmware.h"
#include "VirtualModule.h"
#include "Wire.h"

namespace modsim {

namespace {
enum Kind : std::uint8_t { kCall, kNumber, kBytes };
constexpr std::size_t kNameCapacity = 32;
constexpr std::size_t kPowerConfigCapacity = 64;
}  // namespace

struct SystemEntity::OptionInfo {
    std::uint8_t option;
    Kind kind;
    std::uint8_t width;  // bytes of a number
    bool get;
    bool set;
    std::uint8_t subIndices;
};

// The option table of the entity; anything not listed is an unknown option.
const SystemEntity::OptionInfo* SystemEntity::find(std::uint8_t option) {
    static const OptionInfo kOptions[] = {
        {1, kNumber, 1, true, false, 1},    // module address
        {2, kNumber, 1, true, true, 1},     // router address
        {3, kNumber, 1, true, true, 1},     // heartbeat interval
        {4, kNumber, 1, true, true, 2},     // LED, per LED
        {6, kNumber, 1, true, true, 1},     // boot slot
        {7, kNumber, 4, true, false, 1},    // packed version
        {8, kNumber, 1, true, false, 1},    // model
        {9, kNumber, 4, true, false, 1},    // serial number
        {10, kCall, 0, false, true, 1},     // save
        {11, kCall, 0, false, true, 1},     // reset
        {12, kNumber, 4, true, false, 1},   // input voltage
        {13, kNumber, 1, true, false, 1},   // hardware offset
        {14, kNumber, 1, true, false, 1},   // base address
        {15, kNumber, 1, true, true, 1},    // software offset
        {16, kNumber, 1, true, false, 1},   // router address setting
        {20, kNumber, 1, false, true, 1},   // route to me
        {21, kNumber, 4, true, false, 1},   // input current
        {22, kNumber, 4, true, false, 1},   // uptime, ms
        {23, kNumber, 4, true, false, 1},   // maximum temperature
        {24, kCall, 0, false, true, 1},     // log events
        {25, kNumber, 4, true, false, 1},   // unregulated voltage
        {26, kNumber, 4, true, false, 1},   // unregulated current
        {27, kNumber, 4, true, false, 1},   // temperature
        {28, kNumber, 4, true, false, 1},   // minimum temperature
        {29, kNumber, 1, true, false, 1},   // input power source
        {30, kNumber, 1, true, true, 1},    // input power behaviour
        {31, kBytes, 0, true, true, 1},     // input power behaviour configuration
        {32, kBytes, 0, true, true, 1},     // name
        {33, kNumber, 4, true, false, 1},   // power limit
        {34, kNumber, 4, true, true, 4},    // power limit maximum, per rail
        {35, kNumber, 4, true, false, 1},   // power limit state
        {37, kCall, 0, false, true, 1},     // reset to factory defaults
        {38, kNumber, 1, true, true, 1},    // link interface
        {39, kNumber, 4, true, false, 4},   // chip unique identifier, one word per sub-index
        {40, kNumber, 4, true, false, 1},   // hardware version
        {41, kNumber, 4, true, false, 1},   // errors
        {42, kNumber, 1, true, true, 1},    // LED maximum brightness
        {43, kNumber, 4, true, false, 1},   // build
        {45, kNumber, 4, true, false, 1},   // protocol features
    };
    for (const OptionInfo& s : kOptions)
        if (s.option == option) return &s;
    return nullptr;
}

SystemEntity::SystemEntity(VirtualModule& module, ModuleFirmware& firmware) : module_(module), firmware_(firmware) {
    const ModuleConfig& c = module_.config();
    settings_[2 << 8] = c.routerAddress;
    settings_[3 << 8] = 10;
    settings_[4 << 8] = 1;
    settings_[4 << 8 | 1] = 0;
    settings_[6 << 8] = 0;
    settings_[15 << 8] = 0;
    settings_[30 << 8] = 0;
    for (std::uint16_t rail = 0; rail < 4; ++rail) settings_[std::uint16_t(34 << 8 | rail)] = c.powerLimit;
    settings_[38 << 8] = 0;
    settings_[42 << 8] = 255;
    defaults_ = snapshot();
    saved_ = defaults_;
    bootMs_ = module_.nowMs();
}

SystemEntity::Snapshot SystemEntity::snapshot() const {
    return Snapshot{settings_, module_.config().name, module_.config().powerBehaviorConfig};
}

void SystemEntity::apply(const Snapshot& s) {
    settings_ = s.settings;
    module_.config().name = s.name;
    module_.config().powerBehaviorConfig = s.powerConfig;
}

void SystemEntity::save() { saved_ = snapshot(); }
void SystemEntity::load() { apply(saved_); }
void SystemEntity::resetToDefaults() { apply(defaults_); }

void SystemEntity::restarted(std::uint64_t nowMs) {
    bootMs_ = nowMs;
    routeToMe_ = false;
    series_.clear();
}

std::uint32_t SystemEntity::setting(std::uint8_t option, std::uint8_t subIndex) const {
    auto it = settings_.find(std::uint16_t(option << 8 | subIndex));
    return it == settings_.end() ? 0 : it->second;
}

bool SystemEntity::nameAvailable() const { return module_.config().versionAtLeast(2, 10, 4); }

std::uint8_t SystemEntity::supports(std::uint8_t option, std::uint8_t flags) const {
    const OptionInfo* info = find(option);
    if (!info || (option == 32 && !nameAvailable())) return err::kInvalidOption;
    const bool wantGet = flags & kOptionGet, wantSet = flags & kOptionSet;
    if ((wantGet && !info->get) || (wantSet && !info->set)) return err::kInvalidOption;
    return err::kNone;
}

bool SystemEntity::readNumber(std::uint8_t option, std::uint8_t subIndex, std::uint32_t& out) const {
    const OptionInfo* info = find(option);
    if (!info || info->kind != kNumber || !info->get) return false;
    if (subIndex >= info->subIndices) subIndex = 0;
    const ModuleConfig& c = module_.config();
    switch (option) {
    case 1: out = c.address; break;
    case 7: out = c.packedVersion(); break;
    case 8: out = c.model; break;
    case 9: out = c.serial; break;
    case 12: out = std::uint32_t(c.inputVoltage); break;
    case 13: out = c.hardwareOffset; break;
    case 14: out = c.baseAddress; break;
    case 16: out = setting(2); break;
    case 21: out = std::uint32_t(c.inputCurrent); break;
    case 22: out = std::uint32_t(module_.nowMs() - bootMs_); break;
    case 23: out = std::uint32_t(c.maximumTemperature); break;
    case 25: out = std::uint32_t(c.unregulatedVoltage); break;
    case 26: out = std::uint32_t(c.unregulatedCurrent); break;
    case 27: out = std::uint32_t(c.temperature); break;
    case 28: out = std::uint32_t(c.minimumTemperature); break;
    case 29: out = c.inputPowerSource; break;
    case 33: out = c.powerLimit; break;
    case 35: out = 0; break;
    case 39: out = c.uniqueId[subIndex]; break;
    case 40: out = c.hardwareVersion; break;
    case 41: out = 0; break;
    case 43: out = c.build; break;
    case 45: out = (c.pooledPackets ? 0x80000000u : 0u) | (c.protocolFeatureBits & 0x7FFFFFFFu); break;
    default: out = setting(option, subIndex); break;
    }
    return true;
}

bool SystemEntity::readBytes(std::uint8_t option, std::vector<std::uint8_t>& out) const {
    if (option == 32) {
        if (!nameAvailable()) return false;
        out.assign(module_.config().name.begin(), module_.config().name.end());
        return true;
    }
    if (option == 31) {
        out = module_.config().powerBehaviorConfig;
        return true;
    }
    return false;
}

void SystemEntity::handle(const Packet& packet) {
    UeiRequest r;
    if (!parseUei(packet, r)) return;
    if (r.index != 0) return sendUeiError(module_, r, err::kInvalidEntity);
    const OptionInfo* info = find(r.option);
    if (!info || (r.option == 32 && !nameAvailable())) return sendUeiError(module_, r, err::kInvalidOption);
    if (r.get == r.set) return sendUeiError(module_, r, err::kParam);
    if (r.get) {
        if (!info->get) return sendUeiError(module_, r, err::kInvalidOption);
        return get(*info, r);
    }
    if (!info->set) return sendUeiError(module_, r, err::kInvalidOption);
    set(*info, r);
}

void SystemEntity::get(const OptionInfo& info, const UeiRequest& r) {
    if (info.kind == kBytes) {
        if (!r.value.empty()) return sendUeiError(module_, r, err::kParam);
        std::vector<std::uint8_t> bytes;
        readBytes(r.option, bytes);
        return sendSeries(module_, r.command, r.option, r.index, bytes);
    }
    std::uint8_t sub = 0;
    if (r.value.size() == 1 && info.subIndices > 1) {
        sub = r.value[0];
    } else if (!r.value.empty()) {
        return sendUeiError(module_, r, err::kParam);
    }
    if (sub >= info.subIndices) return sendUeiError(module_, r, err::kIndexRange);
    std::uint32_t v = 0;
    readNumber(r.option, sub, v);
    sendUeiReply(module_, r, widthValue(v, info.width));
}

void SystemEntity::set(const OptionInfo& info, const UeiRequest& r) {
    if (info.kind == kBytes) return setBytes(r);
    if (info.kind == kCall) {
        if (!r.value.empty()) return sendUeiError(module_, r, err::kParam);
        call(r.option);
        return sendUeiReply(module_, r);
    }
    std::uint8_t sub = 0;
    std::size_t at = 0;
    if (r.value.size() == std::size_t(info.width) + 1 && info.subIndices > 1) {
        sub = r.value[0];
        at = 1;
    } else if (r.value.size() != info.width) {
        return sendUeiError(module_, r, err::kParam);
    }
    if (sub >= info.subIndices) return sendUeiError(module_, r, err::kIndexRange);
    std::uint32_t v = 0;
    for (std::size_t i = at; i < r.value.size(); ++i) v = v << 8 | r.value[i];
    const std::uint8_t code = storeNumber(r.option, sub, v);
    if (code != err::kNone) return sendUeiError(module_, r, code);
    sendUeiReply(module_, r, r.value);
}

std::uint8_t SystemEntity::storeNumber(std::uint8_t option, std::uint8_t subIndex, std::uint32_t value) {
    if (option == 20) {
        routeToMe_ = value != 0;
        return err::kNone;
    }
    if (option == 2 && (value & 1)) return err::kRange;  // module addresses are even
    settings_[std::uint16_t(option << 8 | subIndex)] = value;
    return err::kNone;
}

void SystemEntity::setBytes(const UeiRequest& r) {
    SeriesReceiver& series = series_[r.option];
    const SeriesReceiver::Step step = series.take(r.value);
    if (step == SeriesReceiver::Step::More) return;
    if (step == SeriesReceiver::Step::OutOfSequence) return sendUeiError(module_, r, err::kPacket);
    const std::vector<std::uint8_t>& bytes = series.bytes();
    if (r.option == 32) {
        if (bytes.size() > kNameCapacity) return sendUeiError(module_, r, err::kSize);
        module_.config().name.assign(bytes.begin(), bytes.end());
    } else {
        if (bytes.size() % 4 != 0 || bytes.size() > kPowerConfigCapacity) return sendUeiError(module_, r, err::kSize);
        module_.config().powerBehaviorConfig = bytes;
    }
    series.reset();
    sendUeiReply(module_, r);
}

void SystemEntity::call(std::uint8_t option) {
    switch (option) {
    case 10: save(); break;
    case 37: firmware_.factoryReset(); break;
    default: break;  // reset and log events: acknowledged, nothing to simulate
    }
}

}  // namespace modsim
