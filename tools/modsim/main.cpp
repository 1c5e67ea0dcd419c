// modsim: runs one simulated module until SIGTERM or SIGINT.
#include "CommandLine.h"
#include "FlashImage.h"
#include "LegacyDiscovery.h"
#include "LinkServerAnnounce.h"
#include "ModuleSession.h"
#include "PtyServer.h"
#include "TcpServer.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

using namespace modsim;

namespace {

// Status of a run that ended because the module vanished (vanish-exit).
constexpr int kVanishedStatus = 3;

int usage(const std::string& why) {
    std::fprintf(stderr, "modsim: %s\n%s", why.c_str(), usageText());
    return 2;
}

// Creates every flash dump up front: a path that cannot be written is
// reported now, not as a silent failure in the middle of an update.
bool prepareDumps(const ModuleConfig& config, std::string& error) {
    const FlashImage empty;
    if (!config.imageOut.empty() && !empty.dump(config.imageOut, config.flashBase, &error)) return false;
    for (const BehindModule& m : config.behind)
        if (!m.imageOut.empty() && !empty.dump(m.imageOut, config.flashBase, &error)) return false;
    return true;
}

// A module that vanished with vanish-exit ends the program from the main thread.
void endOnVanish(const RestartRequest& r) {
    if (r.exitProcess) ::kill(::getpid(), SIGUSR1);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    std::string error;
    if (!parseCommandLine(argc, argv, cl, error)) return usage(error);
    if (cl.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    const ModuleConfig& config = cl.config;
    if (!prepareDumps(config, error)) {
        std::fprintf(stderr, "modsim: image: %s\n", error.c_str());
        return 1;
    }

    // Block the stop signals before any thread starts; the main thread waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<ModuleSession> tcpSession, ptySession;
    std::unique_ptr<TcpServer> tcp;
    std::unique_ptr<PtyServer> ptyServer;
    if (cl.tcpPort >= 0) {
        tcpSession = std::make_unique<ModuleSession>(config, Framing::Raw);
        tcpSession->setFaults(cl.faults);
        tcp = std::make_unique<TcpServer>(*tcpSession);
        tcp->onGone(endOnVanish);
        if (!tcp->start(cl.bind, std::uint16_t(cl.tcpPort), &error)) {
            std::fprintf(stderr, "modsim: tcp: %s\n", error.c_str());
            return 1;
        }
        std::printf("tcp %s %u\n", cl.bind.c_str(), tcp->port());
    }
    if (cl.pty) {
        ptySession = std::make_unique<ModuleSession>(config, Framing::Cobs);
        ptySession->setFaults(cl.faults);
        ptyServer = std::make_unique<PtyServer>(*ptySession);
        ptyServer->onGone(endOnVanish);
        if (!ptyServer->start(&error)) {
            std::fprintf(stderr, "modsim: pty: %s\n", error.c_str());
            return 1;
        }
        std::printf("pty %s\n", ptyServer->slavePath().c_str());
    }

    const std::uint16_t announcedPort = tcp ? tcp->port() : 0;
    std::unique_ptr<LegacyDiscovery> legacy;
    if (!cl.udpInterface.empty()) {
        legacy = std::make_unique<LegacyDiscovery>(LegacyAnswer{config.address, announcedPort, config.serial, config.model, cl.discoveryDelayMs});
        if (!legacy->start(cl.udpInterface, &error)) {
            std::fprintf(stderr, "modsim: udp discovery: %s\n", error.c_str());
            return 1;
        }
        std::printf("udp-discovery %s\n", cl.udpInterface.c_str());
    }
    LinkSpecFields spec;
    spec.type = cl.specType;
    spec.serial = config.serial;
    spec.moduleAddress = config.address;
    spec.model = config.model;
    spec.port = announcedPort;
    std::unique_ptr<LocalServerAnswer> local;
    if (cl.localServer) {
        spec.ipv4NetworkOrder = htonl(INADDR_LOOPBACK);
        local = std::make_unique<LocalServerAnswer>(spec);
        if (!local->start(&error)) {
            std::fprintf(stderr, "modsim: local server: %s\n", error.c_str());
            return 1;
        }
        std::printf("local-server pair %d\n", local->pair());
    }
    std::unique_ptr<BeaconAnswer> beacon;
    if (!cl.beaconInterface.empty()) {
        in_addr a{};
        ::inet_pton(AF_INET, cl.beaconInterface.c_str(), &a);
        spec.ipv4NetworkOrder = a.s_addr;
        beacon = std::make_unique<BeaconAnswer>(spec);
        if (!beacon->start(cl.beaconInterface, &error)) {
            std::fprintf(stderr, "modsim: beacon: %s\n", error.c_str());
            return 1;
        }
        std::printf("beacon %s\n", cl.beaconInterface.c_str());
    }
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);

    beacon.reset();
    local.reset();
    legacy.reset();
    ptyServer.reset();
    tcp.reset();
    for (ModuleSession* s : {tcpSession.get(), ptySession.get()}) {
        if (!s) continue;
        const ModuleStats st = s->stats();
        std::fprintf(stderr, "modsim: %s: sync %u, heartbeats sent %u answered %u missed %u, framing errors %u, echoes %u\n",
                     s == tcpSession.get() ? "tcp" : "pty", st.syncRequests, st.heartbeatsSent, st.heartbeatsAnswered,
                     st.heartbeatsMissed, st.framingErrors, st.echoes);
    }
    if (sig == SIGUSR1) {
        std::fprintf(stderr, "modsim: the module vanished\n");
        return kVanishedStatus;
    }
    return 0;
}
