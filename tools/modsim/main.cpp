// modsim: runs one simulated module until SIGTERM or SIGINT.
#include "FaultInjector.h"
#include "LegacyDiscovery.h"
#include "LinkServerAnnounce.h"
#include "ModuleSession.h"
#include "PtyServer.h"
#include "TcpServer.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace modsim;

namespace {

const char* kUsage =
    "usage: modsim --serial HEX --model N --address N --version X.Y.Z --build N --name TEXT\n"
    "              [--tcp PORT] [--pty] [--heartbeat-ms N] [--udp-discovery IFADDR]\n"
    "              [--local-server] [--beacon IFADDR] [--spec-type N]\n"
    "              [--fault drop=N|corrupt=N|insert=N|delay=MS|silent|silent-after=N|reset=N]...\n";

bool toUnsigned(const char* text, unsigned long max, unsigned long& out, int base = 0) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, base);
    return errno == 0 && end != text && *end == 0 && out <= max;
}

int usage(const std::string& why) {
    std::fprintf(stderr, "modsim: %s\n%s", why.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ModuleConfig config;
    FaultConfig faults;
    long tcpPort = -1;
    bool pty = false, localServer = false;
    std::string udpIf, beaconIf;
    unsigned long specType = 4;

    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--pty") { pty = true; continue; }
        if (opt == "--local-server") { localServer = true; continue; }
        if (opt == "--help" || opt == "-h") { std::fputs(kUsage, stdout); return 0; }
        if (i + 1 >= argc) return usage("missing value for " + opt);
        const char* v = argv[++i];
        unsigned long n = 0;
        if (opt == "--serial") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n, 16)) return usage("bad serial number");
            config.serial = std::uint32_t(n);
        } else if (opt == "--model") {
            if (!toUnsigned(v, 255, n)) return usage("bad model");
            config.model = std::uint8_t(n);
        } else if (opt == "--address") {
            if (!toUnsigned(v, 254, n) || n == 0 || (n & 1)) return usage("address must be even, 2..254");
            config.address = std::uint8_t(n);
        } else if (opt == "--version") {
            if (!parseVersion(v, config)) return usage("bad version");
        } else if (opt == "--build") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n)) return usage("bad build");
            config.build = std::uint32_t(n);
        } else if (opt == "--name") {
            config.name = v;
        } else if (opt == "--tcp") {
            if (!toUnsigned(v, 65535, n)) return usage("bad port");
            tcpPort = long(n);
        } else if (opt == "--heartbeat-ms") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n)) return usage("bad heartbeat interval");
            config.heartbeatMs = std::uint32_t(n);
        } else if (opt == "--udp-discovery") {
            udpIf = v;
        } else if (opt == "--beacon") {
            beaconIf = v;
        } else if (opt == "--spec-type") {
            if (!toUnsigned(v, 7, n) || n == 0) return usage("bad link type");
            specType = n;
        } else if (opt == "--fault") {
            if (!parseFault(v, faults)) return usage(std::string("bad fault ") + v);
        } else {
            return usage("unknown option " + opt);
        }
    }
    if (tcpPort < 0 && !pty) return usage("give --tcp PORT and/or --pty");

    // Block the stop signals before any thread starts; the main thread waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    std::unique_ptr<ModuleSession> tcpSession, ptySession;
    std::unique_ptr<TcpServer> tcp;
    std::unique_ptr<PtyServer> ptyServer;
    if (tcpPort >= 0) {
        tcpSession = std::make_unique<ModuleSession>(config, Framing::Raw);
        tcpSession->setFaults(faults);
        tcp = std::make_unique<TcpServer>(*tcpSession);
        if (!tcp->start(std::uint16_t(tcpPort), &error)) { std::fprintf(stderr, "modsim: tcp: %s\n", error.c_str()); return 1; }
        std::printf("tcp 127.0.0.1 %u\n", tcp->port());
    }
    if (pty) {
        ptySession = std::make_unique<ModuleSession>(config, Framing::Cobs);
        ptySession->setFaults(faults);
        ptyServer = std::make_unique<PtyServer>(*ptySession);
        if (!ptyServer->start(&error)) { std::fprintf(stderr, "modsim: pty: %s\n", error.c_str()); return 1; }
        std::printf("pty %s\n", ptyServer->slavePath().c_str());
    }

    const std::uint16_t announcedPort = tcp ? tcp->port() : 0;
    std::unique_ptr<LegacyDiscovery> legacy;
    if (!udpIf.empty()) {
        legacy = std::make_unique<LegacyDiscovery>(LegacyAnswer{config.address, announcedPort, config.serial, config.model});
        if (!legacy->start(udpIf, &error)) { std::fprintf(stderr, "modsim: udp discovery: %s\n", error.c_str()); return 1; }
        std::printf("udp-discovery %s\n", udpIf.c_str());
    }
    LinkSpecFields spec;
    spec.type = std::uint32_t(specType);
    spec.serial = config.serial;
    spec.moduleAddress = config.address;
    spec.model = config.model;
    spec.port = announcedPort;
    std::unique_ptr<LocalServerAnswer> local;
    if (localServer) {
        spec.ipv4NetworkOrder = htonl(INADDR_LOOPBACK);
        local = std::make_unique<LocalServerAnswer>(spec);
        if (!local->start(&error)) { std::fprintf(stderr, "modsim: local server: %s\n", error.c_str()); return 1; }
        std::printf("local-server pair %d\n", local->pair());
    }
    std::unique_ptr<BeaconAnswer> beacon;
    if (!beaconIf.empty()) {
        in_addr a{};
        if (::inet_pton(AF_INET, beaconIf.c_str(), &a) != 1) return usage("bad beacon interface");
        spec.ipv4NetworkOrder = a.s_addr;
        beacon = std::make_unique<BeaconAnswer>(spec);
        if (!beacon->start(beaconIf, &error)) { std::fprintf(stderr, "modsim: beacon: %s\n", error.c_str()); return 1; }
        std::printf("beacon %s\n", beaconIf.c_str());
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
    return 0;
}
