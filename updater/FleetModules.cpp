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

// True when two discovery answers with one serial number came from two
// modules: both over the network from different addresses or ports, or
// from different addresses on a router's bus.
bool answeredElsewhere(const DeviceInfo& first, const DeviceInfo& second)
{
    if (first.spec.type != second.spec.type)
        return false;
    if (first.spec.type == TCPIP)
        return first.spec.t.ip.ip_address != second.spec.t.ip.ip_address ||
               first.spec.t.ip.ip_port != second.spec.t.ip.ip_port;
    return first.networkAddress != second.networkAddress;
}

// How long the network query for a run over every module listens after the
// last answer. A module answers the query as soon as it reads it, within a
// few milliseconds on a lab network, so a module still silent this long after
// the one before it is not coming; the listing's own 2 s window would
// otherwise stand before every update of the run and be most of its time.
constexpr unsigned kFleetQuietMs = 300;

// The modules attached by USB and on the network, as their answers to
// discovery describe them. Each is asked for its version by its own worker,
// side by side, rather than here one after another.
std::vector<DeviceInfo> enumerateDirect(linkType type)
{
    std::vector<DeviceInfo> found;
    const std::vector<linkType> types =
        type != 0 ? std::vector<linkType>{type} : std::vector<linkType>{linkType(USB), linkType(TCPIP)};
    for (linkType t : types)
        aDiscovery_EnumerateModulesQuiet(t, appendFound, &found, _discovery_interface(), kFleetQuietMs);
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
        // A module on USB and TCP/IP at once is updated once, over USB. Two
        // answers with one serial number from different places are two
        // modules: a connection by serial number could reach either of them
        // at each step of an update, so neither is touched.
        auto same = std::find_if(modules.begin(), modules.end(),
                                 [&info](const FleetModule& m) { return m.serial == info.spec.serial_num; });
        if (same != modules.end()) {
            if (answeredElsewhere(same->before, info))
                same->ambiguous = true;
            continue;
        }
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
