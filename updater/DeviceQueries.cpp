// The module preparation and queries the discovery, update and recovery
// flows share.
#include "DeviceQueries.h"

#include <arpa/inet.h>

#include "Log.h"
#include "SystemClass.h"
#include "aDiscovery.h"
#include "aVersion.h"

using Tarvelin::Tessaluma::aEtherConfig;
using Tarvelin::Tessaluma::Link;
using Tarvelin::Tessaluma::Module;
using Tarvelin::Tessaluma::SystemClass;

namespace {

constexpr uint8_t kCmdQuery = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr size_t kNameMax = 32;

struct LinkTypeSearch {
    uint32_t serial;
    linkType found;
};

bool findSerial(const linkSpec* spec, bool* found, void* reference)
{
    auto* search = static_cast<LinkTypeSearch*>(reference);
    if (spec->serial_num != search->serial)
        return true;
    *found = true;
    search->found = spec->type;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", search->serial, int(spec->type));
    return false;
}

}  // namespace

uint32_t _discovery_interface()
{
    return htonl(INADDR_LOOPBACK);
}

aErr _disableEther(Module& module, UpdaterDisplayInterface& display)
{
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module& module)
{
    Link* link = module.getLink();
    if (link == nullptr)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t request[] = {kQueryBuild};
    if (link->sendPacket(address, kCmdQuery, sizeof request, request) != aErrNone)
        return 0;
    const uint8_t match[] = {kCmdQuery, kQueryBuild};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = sizeof match;
    if (link->receivePacket(address, match, &length, reply) != aErrNone || length != 6)
        return 0;
    return uint32_t(reply[2]) << 24 | uint32_t(reply[3]) << 16 | uint32_t(reply[4]) << 8 | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone)
        return err;
    info.major = aVersion_ParseMajor(version);
    info.minor = aVersion_ParseMinor(version);
    info.patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone)
        return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err != aErrNone)
        return err;
    info.spec.router = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info)
{
    // A legacy patch number above 255 is still at least 4.
    const uint8_t patch = info.patch > 0xFF ? uint8_t(0xFF) : uint8_t(info.patch);
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, patch, 2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kNameMax];
    size_t length = 0;
    aErr err = system.getName(name, sizeof name, &length);
    if (err == aErrNone)
        info.deviceName.assign(reinterpret_cast<const char*>(name), length);
    return err;
}

linkType _discover_link_type(uint32_t serial)
{
    for (linkType type : {linkType(USB), linkType(TCPIP)}) {
        LinkTypeSearch search{serial, 0};
        aDiscovery_EnumerateModules(type, findSerial, &search, _discovery_interface());
        if (search.found != 0)
            return search.found;
    }
    return 0;
}
