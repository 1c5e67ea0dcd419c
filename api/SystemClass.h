// The system entity (class 3) of a module: identity, addresses, power and
// temperature readings, name and settings. Each accessor is one option.
#pragma once

#include <cstddef>
#include <cstdint>

#include "EntityClass.h"

namespace Tarvelin {
namespace Tessaluma {

class SystemClass : public EntityClass {
public:
    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t interval);
    aErr getHBInterval(uint8_t* interval);
    aErr setLED(uint8_t state);
    aErr getLED(uint8_t* state);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serial);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr getRouterAddressSetting(uint8_t* address);
    aErr routeToMe(uint8_t enable);
    aErr getInputCurrent(uint32_t* microamps);
    aErr getUptime(uint32_t* uptime);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* microvolts);
    aErr getUnregulatedCurrent(int32_t* microamps);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr setInputPowerBehavior(uint8_t behavior);
    aErr getInputPowerBehavior(uint8_t* behavior);
    // Words go as they are in memory; count and *filled are in words.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* filled);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* filled);
    aErr setName(const uint8_t* name, size_t length);
    aErr getPowerLimit(uint32_t* limit);
    aErr setPowerLimitMax(uint32_t limit);
    aErr getPowerLimitMax(uint32_t* limit);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);
    aErr setLEDMaxBrightness(uint8_t brightness);
    aErr getLEDMaxBrightness(uint8_t* brightness);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);
};

}  // namespace Tessaluma
}  // namespace Tarvelin
