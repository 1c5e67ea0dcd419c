// Parsing modsim's options. Nothing here starts a service or touches a
// file, so every failure is a usage error.
#include "CommandLine.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <vector>

namespace modsim {

namespace {

bool toUnsigned(const std::string& text, unsigned long max, unsigned long& out, int base = 0) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text.c_str(), &end, base);
    return errno == 0 && end != text.c_str() && *end == 0 && out <= max;
}

bool evenAddress(const std::string& text, std::uint8_t& out) {
    unsigned long n = 0;
    if (!toUnsigned(text, 254, n) || n == 0 || (n & 1)) return false;
    out = std::uint8_t(n);
    return true;
}

std::vector<std::string> split(const std::string& text, char separator, std::size_t maxParts) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (parts.size() + 1 < maxParts) {
        const std::size_t at = text.find(separator, from);
        if (at == std::string::npos) break;
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

bool ipv4(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool refuse(std::string& why, const std::string& text) {
    why = text;
    return false;
}

// SERIAL,ADDRESS,MODEL,VERSION,BUILD[,NAME]; the name is the rest, commas and all.
bool behindModule(const std::string& value, BehindModule& m, std::string& why) {
    const std::vector<std::string> f = split(value, ',', 6);
    if (f.size() < 5) return refuse(why, "expected SERIAL,ADDRESS,MODEL,VERSION,BUILD[,NAME]");
    unsigned long n = 0;
    if (!toUnsigned(f[0], 0xFFFFFFFFul, n, 16)) return refuse(why, "bad serial number " + f[0]);
    m.serial = std::uint32_t(n);
    if (!evenAddress(f[1], m.address)) return refuse(why, "address must be even, 2..254");
    if (!toUnsigned(f[2], 255, n)) return refuse(why, "bad model " + f[2]);
    m.model = std::uint8_t(n);
    ModuleConfig v;
    if (!parseVersion(f[3], v)) return refuse(why, "bad version " + f[3]);
    m.versionMajor = v.versionMajor;
    m.versionMinor = v.versionMinor;
    m.versionPatch = v.versionPatch;
    if (!toUnsigned(f[4], 0xFFFFFFFFul, n)) return refuse(why, "bad build " + f[4]);
    m.build = std::uint32_t(n);
    m.name = f.size() > 5 ? f[5] : "";
    return true;
}

bool isSwitch(const std::string& opt) {
    static const std::set<std::string> kSwitches{"--pty", "--local-server", "--help", "-h", "--no-uei-data",
                                                 "--no-pooled", "--no-build-query", "--no-reenumerate"};
    return kSwitches.count(opt) != 0;
}

}  // namespace

bool parseCommandLine(int argc, char** argv, CommandLine& out, std::string& error) {
    out = CommandLine{};
    ModuleConfig& c = out.config;
    std::vector<std::pair<std::uint32_t, std::string>> behindImages;
    auto fail = [&](const std::string& why) {
        error = why;
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (isSwitch(opt)) {
            if (opt == "--pty") out.pty = true;
            else if (opt == "--local-server") out.localServer = true;
            else if (opt == "--no-uei-data") c.ueiData = false;
            else if (opt == "--no-pooled") c.pooledPackets = false;
            else if (opt == "--no-build-query") c.buildQuery = false;
            else if (opt == "--no-reenumerate") c.reenumerate = false;
            else out.help = true;
            continue;
        }
        if (i + 1 >= argc) return fail("missing value for " + opt);
        const std::string v = argv[++i];
        unsigned long n = 0;
        if (opt == "--serial") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n, 16)) return fail("bad serial number");
            c.serial = std::uint32_t(n);
        } else if (opt == "--model") {
            if (!toUnsigned(v, 255, n)) return fail("bad model");
            c.model = std::uint8_t(n);
        } else if (opt == "--address") {
            if (!evenAddress(v, c.address)) return fail("address must be even, 2..254");
        } else if (opt == "--version") {
            if (!parseVersion(v, c)) return fail("bad version");
        } else if (opt == "--build") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n)) return fail("bad build");
            c.build = std::uint32_t(n);
        } else if (opt == "--name") {
            c.name = v;
        } else if (opt == "--tcp") {
            if (!toUnsigned(v, 65535, n)) return fail("bad port");
            out.tcpPort = long(n);
        } else if (opt == "--bind") {
            if (!ipv4(v)) return fail("--bind needs an IPv4 address");
            out.bind = v;
        } else if (opt == "--heartbeat-ms") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n)) return fail("bad heartbeat interval");
            c.heartbeatMs = std::uint32_t(n);
        } else if (opt == "--udp-discovery") {
            out.udpInterface = v;
        } else if (opt == "--beacon") {
            if (!ipv4(v)) return fail("bad beacon interface");
            out.beaconInterface = v;
        } else if (opt == "--spec-type") {
            if (!toUnsigned(v, 7, n) || n == 0) return fail("bad link type");
            out.specType = unsigned(n);
        } else if (opt == "--behind") {
            BehindModule m;
            std::string why;
            if (!behindModule(v, m, why)) return fail("--behind: " + why);
            c.behind.push_back(m);
        } else if (opt == "--behind-image-out") {
            const std::vector<std::string> f = split(v, ',', 2);
            if (f.size() != 2 || f[1].empty() || !toUnsigned(f[0], 0xFFFFFFFFul, n, 16))
                return fail("--behind-image-out: expected SERIAL,PATH");
            behindImages.emplace_back(std::uint32_t(n), f[1]);
        } else if (opt == "--unique-id") {
            const std::vector<std::string> w = split(v, ',', 5);
            if (w.size() != 4) return fail("--unique-id: expected W0,W1,W2,W3");
            for (std::size_t k = 0; k < 4; ++k) {
                if (!toUnsigned(w[k], 0xFFFFFFFFul, n, 16)) return fail("--unique-id: bad word " + w[k]);
                c.uniqueId[k] = std::uint32_t(n);
            }
        } else if (opt == "--block-size") {
            if (!toUnsigned(v, 0xFFFF, n) || n == 0) return fail("block size must be 1..65535");
            c.blockSize = std::uint16_t(n);
        } else if (opt == "--image-out") {
            if (v.empty()) return fail("--image-out needs a path");
            c.imageOut = v;
        } else if (opt == "--flash-base") {
            if (!toUnsigned(v, 0xFFFFFFFFul, n)) return fail("bad flash base");
            c.flashBase = std::uint32_t(n);
        } else if (opt == "--reenumerate-ms") {
            if (!toUnsigned(v, 600000, n)) return fail("re-enumeration pause must be 0..600000 ms");
            c.reenumerateMs = std::uint32_t(n);
        } else if (opt == "--stream-rate") {
            if (!toUnsigned(v, 1000000, n)) return fail("stream rate must be 0..1000000 Hz");
            c.streamRateHz = std::uint32_t(n);
        } else if (opt == "--fault") {
            if (!parseFault(v, out.faults) && !parseUpdateFault(v, c.updateFaults)) return fail("bad fault " + v);
        } else {
            return fail("unknown option " + opt);
        }
    }
    if (out.help) return true;
    if (out.tcpPort < 0 && !out.pty) return fail("give --tcp PORT and/or --pty");
    std::set<std::uint8_t> addresses{c.address};
    for (const BehindModule& m : c.behind)
        if (!addresses.insert(m.address).second) return fail("--behind: address " + std::to_string(m.address) + " taken");
    for (const auto& image : behindImages) {
        bool found = false;
        for (BehindModule& m : c.behind) {
            if (m.serial != image.first) continue;
            m.imageOut = image.second;
            found = true;
        }
        if (!found) return fail("--behind-image-out: no --behind module with that serial number");
    }
    return true;
}

const char* usageText() {
    return "usage: modsim [options] --tcp PORT | --pty\n"
           "Runs one simulated module until SIGTERM or SIGINT; prints one line per service.\n"
           "\n"
           "Identity:\n"
           "  --serial HEX  --model N  --address N (even)  --version X.Y.Z  --build N  --name TEXT\n"
           "  --unique-id W0,W1,W2,W3    the chip identifier (hex words) option 39 answers, sub-index 0-3\n"
           "\n"
           "Services:\n"
           "  --tcp PORT                 raw link packets on TCP (0 picks a port): \"tcp ADDRESS PORT\"\n"
           "  --bind ADDRESS             IPv4 address the TCP port listens on (default 127.0.0.1)\n"
           "  --pty                      packetized serial line on a pseudo-terminal: \"pty PATH\"\n"
           "  --udp-discovery IFADDR     answer the legacy discovery query on that interface\n"
           "  --local-server             answer the local link-server query (loopback)\n"
           "  --beacon IFADDR            publish a link-server beacon on that interface\n"
           "  --spec-type N              link type the announcements carry (default 4)\n"
           "  --heartbeat-ms N           send heartbeats this often (0: never)\n"
           "\n"
           "Module behaviour (the router and every module behind it):\n"
           "  --behind SERIAL,ADDRESS,MODEL,VERSION,BUILD[,NAME]\n"
           "                             a module on this module's I2C bus (repeatable: a router)\n"
           "  --block-size N             block size the loader reports (default 512)\n"
           "  --no-uei-data              refuse data as a UEI set (class 95, option 10)\n"
           "  --no-pooled                protocol features without bit 31 (pooled packets)\n"
           "  --no-build-query           leave the build query (73, 0xFF) unanswered\n"
           "  --reenumerate-ms N         after LOAD and REBOOT, stay away N ms (default 300)\n"
           "  --no-reenumerate           keep the host connected through LOAD and REBOOT\n"
           "  --image-out PATH           flash dump, rewritten after every WRITE and at REBOOT\n"
           "  --behind-image-out SERIAL,PATH\n"
           "                             the same for the module behind with that serial number\n"
           "  --flash-base ADDR          first address of the dumps (default 0); unwritten bytes 0xFF\n"
           "  --stream-rate HZ           samples per second of each streamed option (default 100)\n"
           "\n"
           "Faults (repeatable):\n"
           "  --fault drop=N|corrupt=N|insert=N|delay=MS|silent|silent-after=N|reset=N\n"
           "                             every N-th outgoing packet spoilt on the line\n"
           "  --fault short-data|bad-sum|no-load-reply|prepare-fail|prepare-zero[=TIMES][@AT]\n"
           "                             the AT-th such request (default 1st) and TIMES-1 after it\n"
           "                             misanswered: DATA acknowledged one short, SUM off by\n"
           "                             one, LOAD unanswered, PREPARE status 5, block size 0\n"
           "  --fault late-write|late-prepare|late-sum|late-data=MS[@AT]\n"
           "                             the AT-th such request (default 1st) takes MS to answer;\n"
           "                             the module answers nothing else meanwhile\n"
           "  --fault vanish=N|vanish-exit=N\n"
           "                             after the N-th DATA packet the module goes for good\n"
           "                             (vanish-exit: the program ends with status 3)\n"
           "  -h, --help                 this text\n";
}

}  // namespace modsim
