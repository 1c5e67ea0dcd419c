// linkshare-client: finds a served module by discovery, connects to it as a
// client of its link server and reads a few of its values.
//
//   linkshare-client [--interface ADDRESS] [SERIAL]
//
// Without --interface servers on this host are searched; with it, servers
// that answer the beacon on that interface. Without SERIAL the first server
// found is taken.
#include <arpa/inet.h>
#include <cstdio>

#include "Module.h"
#include "Options.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aVersion.h"

using namespace Tarvelin::Tessaluma;

namespace {

const char* kUsage = "usage: linkshare-client [--interface ADDRESS] [SERIAL]\n";

int failed(const char* what, aErr err)
{
    std::fprintf(stderr, "linkshare-client: %s: %s\n", what, aError_GetErrorText(err));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    linkshare::ClientOptions options;
    std::string error;
    if (!linkshare::parseClient(argc, argv, options, &error)) {
        std::fprintf(stderr, "linkshare-client: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    Module module(0, true, 0);
    aEtherConfig config;
    config.fallback = false;
    config.networkInterface = options.networkInterface ? options.networkInterface : htonl(INADDR_LOOPBACK);
    module.setConfig(config);
    aErr err = module.discoverAndConnect(AETHER_FIRST, options.serial);
    if (err != aErrNone)
        return failed(options.serial ? "no server for that module" : "no server found", err);

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0, build = 0, microvolts = 0, uptime = 0;
    int32_t temperature = 0;
    uint8_t model = 0;
    uint8_t name[64] = {};
    size_t length = 0;
    if ((err = system.getSerialNumber(&serial)) != aErrNone)
        return failed("serial number", err);
    if ((err = system.getModel(&model)) != aErrNone)
        return failed("model", err);
    if ((err = system.getVersion(&version)) != aErrNone)
        return failed("version", err);
    char versionText[32] = {};
    aVersion_ParseString(version, versionText, sizeof versionText);
    std::printf("serial %08X\nmodel %u (%s)\naddress %u\nversion %s\n", serial, unsigned(model),
                aDefs_GetModelName(model), unsigned(module.getModuleAddress()), versionText);
    if (module.getBuild(&build) == aErrNone)
        std::printf("build %u\n", build);
    if (system.getName(name, sizeof name - 1, &length) == aErrNone)
        std::printf("name %.*s\n", int(length), reinterpret_cast<const char*>(name));
    if (system.getInputVoltage(&microvolts) == aErrNone)
        std::printf("input voltage %.3f V\n", microvolts / 1e6);
    if (system.getTemperature(&temperature) == aErrNone)
        std::printf("temperature %.2f C\n", temperature / 1e6);
    if (system.getUptime(&uptime) == aErrNone)
        std::printf("uptime %u ms\n", uptime);
    module.disconnect();
    return 0;
}
