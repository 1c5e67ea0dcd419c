// usb-bus: runs a command on an emulated USB bus of modsim modules, e.g.
//
//   usb-bus --module "--serial 40F5849A --model 4 --version 2.11.3 --build 1000"
//           --loader-product 0x0104 --module "--serial 2181F0EE --model 13" --held
//           -- Updater -D -t USB
//
// Each --module takes modsim's own options (quotes group words); the options
// after it apply to that module. The command and everything it starts see the
// bus (umockdev's preload library and UMOCKDEV_DIR are set for them). The exit
// status is the command's.
#include "CommandLine.h"
#include "Spawn.h"
#include "UsbBed.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* kUsage =
    "usage: usb-bus [--timing [PACKETS_PER_FRAME]] MODULE... -- COMMAND [ARGS...]\n"
    "  MODULE: --module \"MODSIM OPTIONS\" followed by any of\n"
    "    --product PID          USB product ID (default: the model)\n"
    "    --vendor VID           USB vendor ID (default: the family's)\n"
    "    --loader-product PID   product ID while its loader runs (default: the same)\n"
    "    --quiet-return         hosts hear nothing when it comes back after a restart\n"
    "    --held                 its interface is held by another program\n"
    "  --timing: the full-speed timing model (1 ms frames, 64-byte packets, 19 a frame)\n";

// Splits words at blanks; '...' and "..." group words.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            if (c == quote) quote = 0;
            else word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) out.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) out.push_back(word);
    return out;
}

struct Plan {
    modsim::ModuleConfig config;
    usbbed::ModuleOptions options;
    bool held = false;
};

bool number(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    out = std::strtoul(text, &end, 0);
    return end != text && *end == 0 && out <= max;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "usb-bus: %s\n%s", why.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Plan> plans;
    usbbed::Timing timing;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        const std::string opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        if (opt == "--module" && value) {
            std::vector<std::string> args = words(value);
            std::vector<char*> av{argv[0]};
            for (std::string& a : args) av.push_back(a.data());
            // The parser wants a service to start; the bus is this module's.
            char pty[] = "--pty";
            av.push_back(pty);
            modsim::CommandLine line;
            std::string why;
            if (!modsim::parseCommandLine(int(av.size()), av.data(), line, why)) return fail(why);
            Plan p;
            p.config = line.config;
            char serial[16];
            std::snprintf(serial, sizeof serial, "%08X", unsigned(p.config.serial));
            p.options.identity.serial = serial;
            p.options.identity.product = p.config.model;
            plans.push_back(p);
            ++i;
        } else if (opt == "--timing") {
            timing.enabled = true;
            if (value && number(value, 1000, n) && n > 0) {
                timing.packetsPerFrame = std::uint32_t(n);
                ++i;
            }
        } else if (plans.empty()) {
            return fail(opt + " before any --module");
        } else if ((opt == "--product" || opt == "--vendor" || opt == "--loader-product") && value &&
                   number(value, 0xFFFF, n)) {
            usbbed::ModuleOptions& o = plans.back().options;
            (opt == "--product" ? o.identity.product : opt == "--vendor" ? o.identity.vendor : o.loaderProduct) =
                std::uint16_t(n);
            ++i;
        } else if (opt == "--quiet-return") {
            plans.back().options.announceReturn = false;
        } else if (opt == "--held") {
            plans.back().held = true;
        } else {
            return fail("unknown or incomplete option " + opt);
        }
    }
    if (i + 1 >= argc) return fail("no command");
    char** command = argv + i + 1;

    std::deque<modsim::ModuleSession> sessions;
    int status = 1;
    {
        usbbed::UsbBed bed;
        bed.setTiming(timing);
        for (const Plan& p : plans) {
            usbbed::UsbModule& m = bed.add(sessions.emplace_back(p.config, modsim::Framing::Raw), p.options);
            if (p.held) m.setFaults(usbbed::faultsWith(&usbbed::Faults::busy, true));
        }
        // Ctrl-C is for the command (a caught signal is the default again in
        // it); the bus goes once the command has ended.
        std::signal(SIGINT, [](int) {});
        const pid_t child = usbbed::spawnProgram(std::vector<std::string>(command, argv + argc), bed.childEnvironment());
        if (child < 0) std::fprintf(stderr, "usb-bus: cannot run %s\n", command[0]);
        int raw = 0;
        pid_t waited = -1;
        while (child > 0 && (waited = ::waitpid(child, &raw, 0)) < 0 && errno == EINTR) {
        }
        if (child > 0 && waited == child)
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    }
    return status;
}
