// Everything a simulated module answers beyond link control, wired to its
// VirtualModule: echo (23), the module queries (73), the system entity (3),
// store slots (4), the I2C bus (8), the entity store (92), stream control
// (93), factory data (94) and the upgrade loader (95); with modules behind
// it (ModuleConfig::behind) also the router. Entity messages for a class
// the module does not have get an aErrInvalidEntity error reply.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace modsim {

class FactoryData;
class I2CBus;
class Router;
class StoreSlots;
class StreamControl;
class SystemEntity;
class UpgradeLoader;
class VirtualModule;

class ModuleFirmware {
public:
    explicit ModuleFirmware(VirtualModule& module);
    ~ModuleFirmware();
    ModuleFirmware(const ModuleFirmware&) = delete;
    ModuleFirmware& operator=(const ModuleFirmware&) = delete;

    void tick(std::uint64_t nowMs);
    void hostLeft();
    // The module (re)started: run-time state back to power-on.
    void restarted();
    // System option 37: every entity back to its defaults.
    void factoryReset();

    SystemEntity& system() { return *system_; }
    StoreSlots& slots() { return *slots_; }
    FactoryData& factory() { return *factory_; }
    StreamControl& streams() { return *streams_; }
    I2CBus& i2c() { return *i2c_; }
    UpgradeLoader& upgrade() { return *upgrade_; }
    Router* router() { return router_.get(); }

    // Module-query answers.
    std::uint8_t hasUei(std::uint8_t command, std::uint8_t option, std::uint8_t index, std::uint8_t flags) const;
    std::uint8_t classQuantity(std::uint8_t command) const;
    std::uint8_t subClassQuantity(std::uint8_t command, std::uint8_t subclass) const;
    std::uint8_t entityGroup(std::uint8_t command, std::uint8_t subclass) const;

    // The entity store's operations (0 save, 1 factory defaults, 2 load) on
    // one entity; returns the error code for the reply.
    std::uint8_t storeOperation(std::uint8_t operation, std::uint8_t command, std::uint8_t index);

    // What stream sources read.
    bool readStreamNumber(std::uint8_t command, std::uint8_t option, std::uint8_t index, std::uint8_t subIndex,
                          std::uint32_t& out) const;
    bool readStreamBytes(std::uint8_t command, std::uint8_t option, std::uint8_t index,
                         std::vector<std::uint8_t>& out) const;

private:
    void install();

    VirtualModule& module_;
    std::unique_ptr<SystemEntity> system_;
    std::unique_ptr<StoreSlots> slots_;
    std::unique_ptr<FactoryData> factory_;
    std::unique_ptr<StreamControl> streams_;
    std::unique_ptr<Router> router_;
    std::unique_ptr<I2CBus> i2c_;
    std::unique_ptr<UpgradeLoader> upgrade_;
};

}  // namespace modsim
