// Discovery of modules: not carried by this build yet.
#include "Updater.h"
#include "Unavailable.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType)
{
    _report_unavailable(display, "Discover_Devices");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t, linkType)
{
    _report_unavailable(display, "Discover_TSNetwork_Devices");
    return {};
}
