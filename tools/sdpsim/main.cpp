// sdpsim: one i.MX RT boot ROM in serial download mode on a pseudo-terminal
// until SIGTERM or SIGINT.
#include "SdpSimulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <vector>

using namespace sdpsim;

namespace {

const char* kUsage =
    "usage: sdpsim [options]\n"
    "An i.MX RT boot ROM in serial download mode on a pseudo-terminal (its UART). Prints\n"
    "\"pty PATH\" when ready and \"jumped ADDRESS\" when the host starts the loader; runs\n"
    "until SIGTERM or SIGINT.\n"
    "  --baud N                    pace both directions at N baud (default: unpaced)\n"
    "  --uid N                     the 64-bit unique identifier (fuses 0x401F4410 low, 0x401F4420 high)\n"
    "  --hab open|closed           the security mode (default open); a closed part refuses to jump\n"
    "                              to what it was given (it carries no signature)\n"
    "  --split-reply-ms N          send a reply's status N ms after its security word\n"
    "  --reply-byte-gap-ms N       send every reply byte N ms after the one before (an adapter\n"
    "                              that hands bytes over on its own timer)\n"
    "  --fault silent|fail-writes  answer nothing / end every write file without the complete status\n"
    "  --dump ADDRESS,LENGTH,FILE  memory written to FILE when the host jumps (and at exit)\n";

struct Dump {
    uint32_t address = 0;
    std::size_t length = 0;
    std::string path;
};

bool number(const std::string& text, unsigned long long max, unsigned long long& out)
{
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && out <= max;
}

bool parse(int argc, char** argv, SimulatorOptions& o, std::vector<Dump>& dumps, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return error = option + " needs a value (or is unknown)", false;
        const std::string value = argv[++i];
        unsigned long long n = 0;
        if (option == "--baud" && number(value, 4000000, n)) {
            o.baud = unsigned(n);
        } else if (option == "--uid" && number(value, ~0ull, n)) {
            o.rom.uid = n;
        } else if (option == "--split-reply-ms" && number(value, 10000, n)) {
            o.splitReplyUs = uint32_t(n * 1000);
        } else if (option == "--reply-byte-gap-ms" && number(value, 10000, n)) {
            o.replyByteGapUs = uint32_t(n * 1000);
        } else if (option == "--hab" && (value == "open" || value == "closed")) {
            o.rom.hab = value == "open" ? kHabOpen : kHabClosed;
        } else if (option == "--fault" && (value == "silent" || value == "fail-writes")) {
            (value == "silent" ? o.rom.silent : o.rom.failWrites) = true;
        } else if (option == "--dump") {
            const std::size_t a = value.find(','), b = value.find(',', a == std::string::npos ? a : a + 1);
            unsigned long long address = 0, length = 0;
            if (a == std::string::npos || b == std::string::npos || !number(value.substr(0, a), 0xFFFFFFFFu, address) ||
                !number(value.substr(a + 1, b - a - 1), 64u << 20, length) || b + 1 >= value.size())
                return error = "--dump wants ADDRESS,LENGTH,FILE: " + value, false;
            dumps.push_back({uint32_t(address), std::size_t(length), value.substr(b + 1)});
        } else {
            return error = "bad option: " + option + " " + value, false;
        }
    }
    return true;
}

bool writeDumps(const SdpRom& rom, const std::vector<Dump>& dumps)
{
    bool fine = true;
    for (const Dump& d : dumps) {
        const std::vector<uint8_t> bytes = rom.read(d.address, d.length);
        FILE* f = std::fopen(d.path.c_str(), "wb");
        const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f && std::fclose(f) != 0) fine = false;
        if (!ok) {
            std::fprintf(stderr, "sdpsim: dump %s: %s\n", d.path.c_str(), std::strerror(errno));
            fine = false;
        }
    }
    return fine;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    SimulatorOptions options;
    std::vector<Dump> dumps;
    std::string error;
    if (!parse(argc, argv, options, dumps, error)) {
        std::fprintf(stderr, "sdpsim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SdpSimulator sim(options);
    bool dumped = true;
    sim.onJump([&](uint32_t address, const SdpRom& rom) {
        // The memory as the jump found it.
        dumped = writeDumps(rom, dumps) && dumped;
        std::printf("jumped 0x%08X\n", address);
        std::fflush(stdout);
    });
    if (!sim.start(&error)) {
        std::fprintf(stderr, "sdpsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("pty %s\n", sim.path().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    sim.stop();
    return sim.with([&](const SdpRom& rom, const UartFraming& uart) {
        const RomStats& s = rom.stats();
        std::fprintf(stderr,
                     "sdpsim: associations %u, commands %u, status %u, register reads %u, write files %u, "
                     "refused jumps %u\n",
                     uart.associations(), s.commands, s.statusRequests, s.registerReads, s.writeFiles, s.refusedJumps);
        return writeDumps(rom, dumps) && dumped ? 0 : 1;
    });
}
