// Which modules a run works on, and what each said of itself beforehand.
#include <algorithm>
#include <cstdio>

#include "DeviceQueries.h"
#include "Fleet.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aDiscovery.h"

using Tarvelin::Tessaluma::Module;
using Tarvelin::Tessaluma::SystemClass;

namespace {

FleetModule fromDiscovery(const DeviceInfo& info, uint32_t routerSerial)
{
    FleetModule module;
    module.serial = info.spec.serial_num;
    module.routerSerial = routerSerial;
    module.moduleAddress = routerSerial != 0 ? uint8_t(info.networkAddress) : 0;
    module.described = true;
    module.before = info;
    return module;
}

bool appendFound(const linkSpec* spec, bool* found, void* reference)
{
    DeviceInfo info;
    info.spec = *spec;
    info.modelName = aDefs_GetModelName(uint8_t(spec->model));
    static_cast<std::vector<DeviceInfo>*>(reference)->push_back(info);
    *found = true;
    return true;
}

// The modules attached by USB and on the network, as their answers to
// discovery describe them. Each is asked for its version by its own worker,
// side by side, rather than here one after another.
std::vector<DeviceInfo> enumerateDirect(linkType type)
{
    std::vector<DeviceInfo> found;
    const std::vector<linkType> types =
        type != 0 ? std::vector<linkType>{type} : std::vector<linkType>{linkType(USB), linkType(TCPIP)};
    for (linkType t : types)
        aDiscovery_EnumerateModules(t, appendFound, &found, _discovery_interface());
    return found;
}

}  // namespace

std::string VersionText(const DeviceInfo& info)
{
    if (info.major == 0 && info.minor == 0 && info.patch == 0)
        return std::string();
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u", unsigned(info.major), unsigned(info.minor), unsigned(info.patch));
    return text;
}

bool _describe_module(UpdaterDisplayInterface& display, uint32_t serial, DeviceInfo& info)
{
    Module module(0, 0);
    if (_disableEther(module, display) != aErrNone)
        return false;
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound)
        err = module.connect(TCPIP, serial);
    if (err != aErrNone)
        return false;
    info = DeviceInfo();
    module.getLinkSpecifier(&info.spec);
    info.spec.serial_num = serial;
    info.build = _get_build_number(module);
    info.error = uint32_t(_get_version(module, info));
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    const aErr modelErr = system.getModel(&model);
    if (modelErr == aErrNone) {
        info.spec.model = model;
        info.modelName = aDefs_GetModelName(model);
    } else if (info.error == aErrNone) {
        info.error = uint32_t(modelErr);
    }
    module.disconnect();
    return true;
}


std::vector<FleetModule> FleetModulesFound(Updater& updater, linkType type, uint32_t routerSerial,
                                           const std::string& model)
{
    const std::vector<DeviceInfo> found =
        routerSerial != 0 ? updater.Discover_TSNetwork_Devices(routerSerial, type) : enumerateDirect(type);
    std::vector<FleetModule> modules;
    for (const DeviceInfo& info : found) {
        if (!model.empty() && aDefs_GetModelName(uint8_t(info.spec.model)) != model)
            continue;
        bool seen = false;  // a module on USB and TCP/IP at once is updated once, over USB
        for (const FleetModule& m : modules)
            seen = seen || m.serial == info.spec.serial_num;
        if (seen)
            continue;
        FleetModule module = fromDiscovery(info, routerSerial);
        module.described = routerSerial != 0;  // behind a router the scan asked each module already
        modules.push_back(module);
    }
    // Modules answer discovery in no fixed order; the run and its summary go by serial number.
    std::stable_sort(modules.begin(), modules.end(),
                     [](const FleetModule& a, const FleetModule& b) { return a.serial < b.serial; });
    return modules;
}

std::vector<FleetModule> FleetModulesListed(Updater& updater, const std::vector<uint32_t>& serials,
                                            uint32_t routerSerial)
{
    std::vector<DeviceInfo> behind;
    if (routerSerial != 0)
        behind = updater.Discover_TSNetwork_Devices(routerSerial, 0);
    std::vector<FleetModule> modules;
    for (uint32_t serial : serials) {
        FleetModule module;
        module.serial = serial;
        module.routerSerial = routerSerial;
        for (const DeviceInfo& info : behind)
            if (info.spec.serial_num == serial)
                module = fromDiscovery(info, routerSerial);
        modules.push_back(module);
    }
    return modules;
}
