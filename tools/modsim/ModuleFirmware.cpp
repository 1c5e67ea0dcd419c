#include "ModuleFirmware.h"

#include "FactoryData.h"
#include "I2CBus.h"
#include "ModuleQuery.h"
#include "Router.h"
#include "StoreSlots.h"
#include "StreamControl.h"
#include "SystemEntity.h"
#include "Uei.h"
#include "UpgradeLoader.h"
#include "VirtualModule.h"
#include "Wire.h"

namespace modsim {

ModuleFirmware::ModuleFirmware(VirtualModule& module) : module_(module) {
    system_ = std::make_unique<SystemEntity>(module_, *this);
    slots_ = std::make_unique<StoreSlots>(module_);
    factory_ = std::make_unique<FactoryData>(module_);
    streams_ = std::make_unique<StreamControl>(module_, *this);
    if (!module_.config().behind.empty()) router_ = std::make_unique<Router>(module_, module_.config());
    i2c_ = std::make_unique<I2CBus>(module_, [this](std::uint8_t address) { return router_ && router_->present(address); });
    upgrade_ = std::make_unique<UpgradeLoader>(module_, *this);
    install();
}

ModuleFirmware::~ModuleFirmware() = default;

void ModuleFirmware::install() {
    VirtualModule& m = module_;
    m.setHandler(kCmdDebug, [](VirtualModule& mod, const Packet& p) { mod.send(Packet{mod.config().address, p.data}); });
    m.setHandler(kCmdQuery, [this](VirtualModule& mod, const Packet& p) { answerQuery(mod, *this, p); });
    m.setHandler(kCmdSystem, [this](VirtualModule&, const Packet& p) { system_->handle(p); });
    m.setHandler(kCmdSlot, [this](VirtualModule&, const Packet& p) { slots_->handle(p); });
    m.setHandler(kCmdI2C, [this](VirtualModule&, const Packet& p) { i2c_->handle(p); });
    m.setHandler(kCmdEntityStore, [this](VirtualModule& mod, const Packet& p) { answerEntityStore(mod, *this, p); });
    m.setHandler(kCmdStream, [this](VirtualModule&, const Packet& p) { streams_->handle(p); });
    m.setHandler(kCmdFactory, [this](VirtualModule&, const Packet& p) { factory_->handle(p); });
    m.setHandler(kCmdUpgrade, [this](VirtualModule&, const Packet& p) { upgrade_->handle(p); });
    m.setFallbackHandler([](VirtualModule& mod, const Packet& p) {
        UeiRequest r;
        if (isRawCommand(p.data[0]) || !parseUei(p, r) || !(r.get || r.set)) return;
        sendUeiError(mod, r, err::kInvalidEntity);
    });
    if (router_) m.setForeignHandler([this](VirtualModule&, const Packet& p) { router_->route(p); });
}

void ModuleFirmware::tick(std::uint64_t nowMs) {
    streams_->tick(nowMs);
    if (router_) router_->tick(nowMs);
}

void ModuleFirmware::hostLeft() {
    streams_->stopAll();
    slots_->closeAll();
    factory_->endSeries();
    system_->hostLeft();
    if (router_) router_->hostLeft();
}

void ModuleFirmware::restarted() {
    system_->restarted(module_.nowMs());
    streams_->stopAll();
    slots_->closeAll();
    factory_->endSeries();
}

void ModuleFirmware::factoryReset() {
    system_->resetToDefaults();
    streams_->stopAll();
}

std::uint8_t ModuleFirmware::hasUei(std::uint8_t command, std::uint8_t option, std::uint8_t index,
                                    std::uint8_t flags) const {
    const bool get = flags & kOptionGet, set = flags & kOptionSet;
    if ((flags & kOptionMask) || (get && set)) return err::kParam;
    auto allowed = [&](bool canGet, bool canSet) {
        return (get && !canGet) || (set && !canSet) || (!canGet && !canSet) ? err::kInvalidOption : err::kNone;
    };
    switch (command) {
    case kCmdSystem:
        return index != 0 ? err::kInvalidEntity : system_->supports(option, flags);
    case kCmdEntityStore:
        return index != 0 ? err::kInvalidEntity : allowed(false, option <= 2);
    case kCmdStream:
        return index != 0 ? err::kInvalidEntity : allowed(option == 1, option == 1 || option == 2);
    case kCmdUpgrade:
        return index != 0 ? err::kInvalidEntity : allowed(false, option == 10 && module_.config().ueiData);
    default:
        return err::kInvalidEntity;
    }
}

std::uint8_t ModuleFirmware::classQuantity(std::uint8_t command) const {
    const ModuleConfig& c = module_.config();
    switch (command) {
    case kCmdSystem: case kCmdI2C: case kCmdEntityStore: case kCmdStream: case kCmdUpgrade: return 1;
    case kCmdSlot: return std::uint8_t(c.storeCount);
    case kCmdFactory: return std::uint8_t(c.factoryIndexCount);
    default: return 0;
    }
}

std::uint8_t ModuleFirmware::subClassQuantity(std::uint8_t command, std::uint8_t subclass) const {
    const ModuleConfig& c = module_.config();
    if (command == kCmdSlot && subclass < c.storeCount) return std::uint8_t(c.slotsPerStore);
    return 0;
}

std::uint8_t ModuleFirmware::entityGroup(std::uint8_t command, std::uint8_t subclass) const {
    return subclass == 0 ? classQuantity(command) : 0;
}

std::uint8_t ModuleFirmware::storeOperation(std::uint8_t operation, std::uint8_t command, std::uint8_t index) {
    if (index != 0) return err::kInvalidEntity;
    switch (command) {
    case kCmdSystem:
        if (operation == 0) system_->save();
        if (operation == 1) system_->resetToDefaults();
        if (operation == 2) system_->load();
        return err::kNone;
    case kCmdStream:
        if (operation == 1) streams_->stopAll();
        return err::kNone;
    case kCmdI2C:
        return err::kNone;  // nothing the bus keeps
    default:
        return err::kInvalidEntity;
    }
}

bool ModuleFirmware::readStreamNumber(std::uint8_t command, std::uint8_t option, std::uint8_t index,
                                      std::uint8_t subIndex, std::uint32_t& out) const {
    return command == kCmdSystem && index == 0 && system_->readNumber(option, subIndex, out);
}

bool ModuleFirmware::readStreamBytes(std::uint8_t command, std::uint8_t option, std::uint8_t index,
                                     std::vector<std::uint8_t>& out) const {
    return command == kCmdSystem && index == 0 && system_->readBytes(option, out);
}

}  // namespace modsim
