// Discovery of modules: those attached by USB or answering on the network,
// and those on the I2C bus behind one routing module.
#include <cstring>
#include <memory>

#include "DeviceQueries.h"
#include "I2CClass.h"
#include "Log.h"
#include "SystemClass.h"
#include "Updater.h"
#include "aDefs.h"
#include "aDiscovery.h"

using Tarvelin::Tessaluma::I2CClass;
using Tarvelin::Tessaluma::Module;
using Tarvelin::Tessaluma::SystemClass;

namespace {

constexpr uint8_t kFirstBusAddress = 2;
constexpr uint8_t kLastBusAddress = 252;
constexpr uint8_t kBusSpeed = 3;

bool appendDevice(const linkSpec* spec, bool* found, void* reference)
{
    auto* devices = static_cast<std::vector<DeviceInfo>*>(reference);
    DeviceInfo info;
    info.spec = *spec;
    devices->push_back(info);
    *found = true;
    return true;
}

// Fills what a connected module says about itself.
void queryDevice(Module& module, DeviceInfo& info)
{
    info.build = _get_build_number(module);
    info.error = uint32_t(_get_version(module, info));
    if (info.error == aErrNone)
        info.error = uint32_t(_get_device_name(module, info));
}

// The module at bus address a behind the router, or false when none answers
// there with its serial number.
bool probeBehindRouter(UpdaterDisplayInterface& display, Module& router, const linkSpec& routerSpec,
                       uint32_t routerSerial, linkType type, uint8_t a, DeviceInfo& info)
{
    Module module(a, false, 0);
    _disableEther(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone)
        return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    info.spec = linkSpec{};
    info.spec.t = routerSpec.t;  // reached the way the router is
    info.spec.type = type;
    info.spec.serial_num = serial;
    info.spec.router = router.getModuleAddress();
    info.spec.router_serial_num = routerSerial;
    info.networkAddress = a;
    info.build = _get_build_number(module);
    info.error = uint32_t(_get_version(module, info));
    uint8_t model = 0;
    aErr err = system.getModel(&model);
    if (err != aErrNone) {
        info.error = uint32_t(err);
    } else {
        info.spec.model = model;
        info.modelName = aDefs_GetModelName(model);
    }
    module.disconnect();
    return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> devices;
    const std::vector<linkType> types =
        type != 0 ? std::vector<linkType>{type} : std::vector<linkType>{linkType(USB), linkType(TCPIP)};
    for (linkType t : types)
        aDiscovery_EnumerateModules(t, appendDevice, &devices, _discovery_interface());

    for (DeviceInfo& info : devices) {
        info.modelName = aDefs_GetModelName(uint8_t(info.spec.model));
        Module module(2, 0);
        if (_disableEther(module, display) != aErrNone)
            continue;
        info.error = uint32_t(module.connectFromSpec(info.spec));
        if (info.error == aErrNone)
            queryDevice(module, info);
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t routerSerial, linkType type)
{
    std::vector<DeviceInfo> devices;
    if (type == 0)
        type = _discover_link_type(routerSerial);
    std::unique_ptr<linkSpec, void (*)(linkSpec*)> spec(aDiscovery_FindModule(type, routerSerial, _discovery_interface()),
                                                       [](linkSpec* s) { aLinkSpec_Destroy(&s); });
    if (!spec)
        return devices;
    Log::log(DEBUG_Updater, "Found Link Module");

    Module router(2, 0);
    if (_disableEther(router, display) != aErrNone)
        return devices;
    aErr err = router.connectFromSpec(*spec);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", int(err));
        return devices;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", int(err));
        router.disconnect();
        return devices;
    }
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(kBusSpeed);

    static const uint8_t kProbe[2] = {0, 0};
    for (unsigned a = kFirstBusAddress; a <= kLastBusAddress; a += 2) {
        if (a == router.getModuleAddress())
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", a);
        if (bus.write(uint8_t(a), sizeof kProbe, kProbe) != aErrNone)
            continue;
        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", a);
        DeviceInfo info;
        if (probeBehindRouter(display, router, *spec, routerSerial, type, uint8_t(a), info))
            devices.push_back(info);
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
