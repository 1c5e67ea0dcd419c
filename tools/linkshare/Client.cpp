// linkshare-client: finds a served module by discovery, connects to it as a
// client of its link server and reads a few of its values; also keeps the
// keys of servers on other hosts.
//
//   linkshare-client [-i DIR] [--interface ADDRESS] [--secure | --clear] [SERIAL]
//   linkshare-client [-i DIR] --trust SERVER-ADDRESS SERVER-KEY-FILE
//   linkshare-client [-i DIR] --key
//
// Without --interface servers on this host are searched; with it, servers
// that answer the beacon on that interface. Without SERIAL the first server
// found is taken. A server on a network interface is reached encrypted, with
// its key: this user's own for a server on this host, the one --trust pinned
// for a server elsewhere.
#include <arpa/inet.h>
#include <cstdio>

#include "Module.h"
#include "Options.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aServerKeys.h"
#include "aVersion.h"

using namespace Tarvelin::Tessaluma;

namespace {

const char* kUsage =
    "usage: linkshare-client [-i DIR] [--interface ADDRESS] [--secure | --clear] [SERIAL]\n"
    "       linkshare-client [-i DIR] --trust SERVER-ADDRESS SERVER-KEY-FILE\n"
    "       linkshare-client [-i DIR] --key\n"
    "Finds a served module (on this host, or by beacon on --interface), connects and\n"
    "reads a few of its values. --secure: servers on this host are encrypted too;\n"
    "--clear: a network server whose key is not known is reached in the clear.\n"
    "--trust pins the key file a server on another host handed over; --key prints the\n"
    "client key file to hand to that host (linkshare --allow). -i DIR: keys under\n"
    "DIR/updater.\n";

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
    aErr err = aErrNone;
    if (!linkshare::parseClient(argc, argv, options, &error)) {
        std::fprintf(stderr, "linkshare-client: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    linkshare::applyKeys(options.keys);
    char path[1024];
    if (options.keys.printKey) {
        err = aServerKeys_PublicKeyFile(false, path, sizeof path);
        if (err != aErrNone)
            return failed("no client key", err);
        std::printf("%s\n", path);
        return 0;
    }
    if (options.trustAddress != 0) {
        err = aServerKeys_Trust(options.trustAddress, options.trustFile.c_str(), path, sizeof path);
        if (err != aErrNone)
            return failed(("cannot take the key " + options.trustFile).c_str(), err);
        std::printf("trusted %s\n", path);
        return 0;
    }
    Module module(0, true, 0);
    aEtherConfig config;
    config.fallback = false;
    config.networkInterface = options.networkInterface ? options.networkInterface : htonl(INADDR_LOOPBACK);
    module.setConfig(config);
    err = module.discoverAndConnect(AETHER_FIRST, options.serial);
    if (err != aErrNone && options.networkInterface != 0)
        std::fprintf(stderr, "linkshare-client: a server on another host is reached only with its key "
                             "(--trust) and once it admitted this host's key (linkshare --allow there)\n");
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
