#include "Listings.h"

#include <cstring>

#include "UpdateServerRequest.h"
#include "aDefs.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

const char* _link_type_name(linkType type)
{
    switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    default: return "Unknown";
    }
}

// One device line; the format depends on the entry's own link type.
void _display_device(UpdaterDisplayInterface& display, const DeviceInfo& device)
{
    const linkSpec& spec = device.spec;
    const char* model = aDefs_GetModelName(uint8_t(spec.model));
    if (spec.type == TCPIP) {
        uint8_t ip[4];
        memcpy(ip, &spec.t.ip.ip_address, sizeof ip);
        char address[24];
        snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                        spec.serial_num, spec.module, spec.router, model, device.major, device.minor,
                        int(device.patch), device.build, address, device.deviceName.c_str());
    } else if (device.error != 0) {
        display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serial_num,
                        int(device.error));
    } else {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", spec.serial_num,
                        spec.module, spec.router, model, device.major, device.minor, int(device.patch),
                        device.build, device.deviceName.c_str());
    }
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display)
{
    display.message(INFO, "%s (%s)", "Updater", "Version: 2.12.0 Dec  4 2025");
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type)
{
    display.message(INFO, "Discovered Devices: (%s)", _link_type_name(type));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
                              "       Device Name");
    for (const auto& device : devices)
        _display_device(display, device);
}

void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serial)
{
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serial);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token)
{
    display.message(INFO, "%s", token.c_str());
}
