// linkshare: opens one module and keeps its link served until interrupted, so
// that other programs reach the module through the link server.
//
//   linkshare [--tcp ADDRESS:PORT] [--port N] [--interface ADDRESS] SERIAL
//
// Without --tcp the module is looked for on USB. Without --interface the
// server listens on 127.0.0.1 and is found by programs on this host; with it,
// on that interface, found by beacon from other hosts too.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "Module.h"
#include "Options.h"
#include "SystemClass.h"
#include "aDefs.h"

using namespace Tarvelin::Tessaluma;

namespace {

const char* kUsage =
    "usage: linkshare [--tcp ADDRESS:PORT] [--port N] [--interface ADDRESS] SERIAL\n"
    "Serves the module with that serial number (USB, or TCP with --tcp) to other\n"
    "programs until interrupted (Ctrl+C).\n";

}  // namespace

int main(int argc, char** argv)
{
    linkshare::ShareOptions options;
    std::string error;
    if (!linkshare::parseShare(argc, argv, options, &error)) {
        std::fprintf(stderr, "linkshare: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    // Every thread started from here on leaves the two signals to sigwait below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Module module(0, true, 0);
    aEtherConfig config;
    config.enabled = true;
    config.fallback = false;  // serve the module itself, never another server's
    config.localOnly = options.networkInterface == 0;
    config.networkInterface = options.networkInterface ? options.networkInterface : htonl(INADDR_LOOPBACK);
    config.assignedPort = options.port;
    aErr err = module.setConfig(config);
    if (err == aErrNone && options.tcp) {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serial_num = options.serial;
        spec.t.ip.ip_address = options.tcpAddress;
        spec.t.ip.ip_port = options.tcpPort;
        err = module.connectFromSpec(spec);
    } else if (err == aErrNone) {
        err = module.connect(USB, options.serial);
    }
    if (err != aErrNone) {
        std::fprintf(stderr, "linkshare: cannot serve module %08X: %s\n", options.serial,
                     aError_GetErrorText(err));
        return 1;
    }
    module.getConfig(&config);
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    system.getModel(&model);
    std::printf("serving %08X (%s, address %u) on %s:%u\n", options.serial, aDefs_GetModelName(model),
                unsigned(module.getModuleAddress()), linkshare::addressText(config.networkInterface).c_str(),
                unsigned(config.assignedPort));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    module.disconnect();
    std::printf("stopped\n");
    return 0;
}
