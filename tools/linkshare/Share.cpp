// linkshare: opens one module and keeps its link served until interrupted, so
// that other programs reach the module through the link server; also admits
// the client keys of other hosts.
//
//   linkshare [-i DIR] [--tcp ADDRESS:PORT] [--port N] [--interface ADDRESS]
//             [--secure | --clear] SERIAL
//   linkshare [-i DIR] --allow CLIENT-KEY-FILE
//   linkshare [-i DIR] --key
//
// Without --tcp the module is looked for on USB. Without --interface the
// server listens on 127.0.0.1, open to every program on this host (--secure
// encrypts it too); with it, on that interface, found by beacon from other
// hosts, encrypted and open only to admitted clients (--clear serves in the
// clear instead, with a warning).
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "Module.h"
#include "Options.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aServerKeys.h"

using namespace Tarvelin::Tessaluma;

namespace {

const char* kUsage =
    "usage: linkshare [-i DIR] [--tcp ADDRESS:PORT] [--port N] [--interface ADDRESS]\n"
    "                 [--secure | --clear] SERIAL\n"
    "       linkshare [-i DIR] --allow CLIENT-KEY-FILE\n"
    "       linkshare [-i DIR] --key\n"
    "Serves the module with that serial number (USB, or TCP with --tcp) to other\n"
    "programs until interrupted (Ctrl+C): on 127.0.0.1, open to every program on this\n"
    "host (--secure: encrypted, for this user's programs only), or on --interface,\n"
    "encrypted and open only to admitted clients (--clear: in the clear, to anyone).\n"
    "--allow admits the client whose key file another host handed over; --key prints\n"
    "the server key file to hand to other hosts. -i DIR: keys under DIR/updater.\n";

int keyFailure(const char* what, aErr err)
{
    std::fprintf(stderr, "linkshare: %s: %s\n", what, aError_GetErrorText(err));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    linkshare::ShareOptions options;
    std::string error;
    if (!linkshare::parseShare(argc, argv, options, &error)) {
        std::fprintf(stderr, "linkshare: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    linkshare::applyKeys(options.keys);
    char path[1024];
    if (options.keys.printKey) {
        const aErr err = aServerKeys_PublicKeyFile(true, path, sizeof path);
        if (err != aErrNone)
            return keyFailure("no server key", err);
        std::printf("%s\n", path);
        return 0;
    }
    if (!options.allow.empty()) {
        const aErr err = aServerKeys_Allow(options.allow.c_str(), path, sizeof path);
        if (err != aErrNone)
            return keyFailure(("cannot admit " + options.allow).c_str(), err);
        std::printf("admitted %s\n", path);
        return 0;
    }
    const bool network = options.networkInterface != 0 && (ntohl(options.networkInterface) >> 24) != 127;
    const bool encrypted = network ? !options.keys.clear : options.keys.secure;
    if (network && !encrypted)
        std::fprintf(stderr, "linkshare: warning: serving in the clear on %s: anyone who reaches that "
                             "network can use the module, up to rewriting its firmware\n",
                     linkshare::addressText(options.networkInterface).c_str());
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
    config.localOnly = !network;
    config.networkInterface = network ? options.networkInterface : htonl(INADDR_LOOPBACK);
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
    if (encrypted && aServerKeys_PublicKeyFile(true, path, sizeof path) == aErrNone)
        std::printf("encrypted; server key %s\n", path);
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    module.disconnect();
    std::printf("stopped\n");
    return 0;
}
