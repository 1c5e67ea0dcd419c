// How long a firmware update takes over a full-speed USB bus: Updater (the
// built program) writes an image into a module on the emulated bus with the
// timing model on, once in packet form and once as UEI byte arrays with pooled
// packets. The firmware phase is timed at the module, from the first firmware
// PREPARE to REBOOT, and set against the frames its exchanges need at least
// and against the bus's own limit.
//
//   usb_bench_update [--size=262144] [--packets-per-frame=19] [--repeat=3] [--goal=1.25]
#include "ModuleFirmware.h"
#include "Process.h"
#include "Spawn.h"
#include "UpgradeLoader.h"
#include "UsbBed.h"
#include "birdmake.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

constexpr const char* kSerialText = "40F5849A";
constexpr std::uint32_t kSerial = 0x40F5849A;
constexpr std::uint32_t kBlockSize = 1024;
// Image bytes in one DATA packet, and in one packet of a UEI byte-array series
// (whose packets carry 3 header bytes and a trailer byte besides).
constexpr std::uint32_t kDataChunk = 26;
constexpr std::uint32_t kSeriesChunk = 24;
constexpr std::uint32_t kSeriesOverhead = 2 + 3 + 1;

const char* const kUsage =
    "usage: usb_bench_update [--size=BYTES] [--packets-per-frame=N] [--repeat=N] [--goal=RATIO]\n"
    "  Runs Updater -U on the built tree against a module on the emulated USB bus with\n"
    "  the full-speed frame model (1 ms frames, 64-byte packets, --packets-per-frame a\n"
    "  frame, default 19), once in packet form (-m 0) and once as UEI byte arrays with\n"
    "  pooled packets. --size bytes of firmware (default 262144) in pieces of 1024;\n"
    "  the median of --repeat runs (default 3) is printed against the frame bound of\n"
    "  the exchanges and the bus limit. Exit code 2 when the UEI form is slower than\n"
    "  --goal (default 1.25) times its frame bound, 1 when an update fails.\n"
    "  Run with TMPDIR=/tmp (umockdev's socket paths must fit 108 bytes).\n";

struct Run {
    bool ok = false;
    double firmwareSeconds = 0;  // first firmware PREPARE to REBOOT
    double totalSeconds = 0;     // the whole command
};

modsim::UpgradeStats stats(modsim::ModuleSession& s) {
    return s.withModule([](modsim::VirtualModule& m) { return m.firmware().upgrade().stats(); });
}

Run updateOnce(const std::string& image, const std::vector<std::uint8_t>& data, const usbbed::Timing& timing,
               bool packetForm) {
    testsupport::TempDir store;
    modsim::ModuleConfig c;
    c.serial = kSerial;
    c.model = 4;
    c.blockSize = kBlockSize;
    c.reenumerateMs = 100;
    std::deque<modsim::ModuleSession> sessions;
    modsim::ModuleSession& s = sessions.emplace_back(c, modsim::Framing::Raw);
    usbbed::UsbBed bed;
    bed.setTiming(timing);
    usbbed::ModuleOptions o;
    o.identity.serial = kSerialText;
    o.identity.product = 0x0004;
    bed.add(s, o);

    std::vector<std::string> args{UPDATER_BIN, "-U", "-d", kSerialText, "-f", image, "-i", store.path(),
                                  "-u", "http://127.0.0.1:9/cgi/u"};
    if (packetForm) args.insert(args.end(), {"-m", "0"});
    std::atomic<bool> done{false};
    usbbed::RunResult result;
    const auto start = steady_clock::now();
    std::thread updater([&] {
        result = usbbed::runProgram(args, bed.childEnvironment(), minutes(10));
        done = true;
    });
    // The loader's own PREPAREs come first; the firmware's follow LOAD.
    steady_clock::time_point firmwareStart{}, firmwareEnd{};
    while (!done) {
        const modsim::UpgradeStats st = stats(s);
        const auto now = steady_clock::now();
        if (firmwareStart == steady_clock::time_point{} && st.loads > 0 && st.prepares > 1) firmwareStart = now;
        if (firmwareEnd == steady_clock::time_point{} && st.reboots > 0) firmwareEnd = now;
        std::this_thread::sleep_for(microseconds(500));
    }
    updater.join();
    Run run;
    run.totalSeconds = duration<double>(steady_clock::now() - start).count();
    run.ok = result.exitCode == 0 && s.flash().read(0, data.size()) == data && firmwareEnd > firmwareStart;
    if (!run.ok) std::fprintf(stderr, "update failed (exit %d):\n%s%s\n", result.exitCode, result.out.c_str(),
                              result.err.c_str());
    run.firmwareSeconds = duration<double>(firmwareEnd - firmwareStart).count();
    return run;
}

// The least time the firmware phase can take on the bus, in frames: every
// request and its answer take a frame each (the answer rides in the frame after
// the one that carried the request); a pooled series takes as many frames as
// its packets need. Timed at the module from its first PREPARE arriving to
// REBOOT arriving: the PREPARE's answer, then per piece the data (DATA packets
// one by one, or one series and its answer), SUM and WRITE, then REBOOT.
std::uint64_t frameBound(std::size_t size, bool packetForm, const usbbed::Timing& timing) {
    std::uint64_t frames = 1 + 1;
    for (std::size_t done = 0; done < size;) {
        const std::uint32_t piece = std::uint32_t(std::min<std::size_t>(kBlockSize, size - done));
        if (packetForm) {
            frames += 2 * ((piece + kDataChunk - 1) / kDataChunk);
        } else {
            const std::uint32_t packets = (piece + kSeriesChunk - 1) / kSeriesChunk;
            const std::uint32_t wire = packets * kSeriesOverhead + piece;
            const std::uint32_t usbPackets = (wire + timing.packetBytes - 1) / timing.packetBytes;
            frames += (usbPackets + timing.packetsPerFrame - 1) / timing.packetsPerFrame + 1;
        }
        frames += 2 + 2;
        done += piece;
    }
    return frames;
}

bool helpWanted(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

double doubleOption(int argc, char** argv, const char* name, double fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return std::atof(argv[i] + n + 1);
    return fallback;
}

long option(int argc, char** argv, const char* name, long fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return std::atol(argv[i] + n + 1);
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (helpWanted(argc, argv)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const long sizeOption = option(argc, argv, "--size", 262144);
    const double goal = doubleOption(argc, argv, "--goal", 1.25);
    if (sizeOption <= 0 || goal <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::size_t size = std::size_t(sizeOption);
    const int repeat = int(std::max(1L, option(argc, argv, "--repeat", 3)));
    usbbed::Timing timing;
    timing.enabled = true;
    timing.packetsPerFrame = std::uint32_t(std::max(1L, option(argc, argv, "--packets-per-frame", 19)));
    // What the bus can carry at best: every packet of every frame.
    const double limit = double(timing.packetsPerFrame) * timing.packetBytes * 1e6 / timing.frameUs;

    testsupport::TempDir dir;
    const std::vector<std::uint8_t> data = birdmake::RandomData(size, 5);
    birdmake::Image image;
    image.blocks.push_back(birdmake::LoaderBlock(0x10000000, birdmake::RandomData(300, 6)));
    image.blocks.push_back(birdmake::FirmwareBlock(0, data));
    image.blocks.push_back(birdmake::InfoBlock("2001", "2.16.1", kSerialText, "TS-Hub4"));
    const std::string path = dir.file("bench.bird");
    const std::vector<std::uint8_t> bytes = birdmake::MakeFile(image);
    testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));

    std::printf("%zu bytes of firmware, %u packets of %u bytes per %u us frame: bus limit %.3f MB/s\n", size,
                timing.packetsPerFrame, timing.packetBytes, timing.frameUs, limit / 1e6);
    std::printf("%-14s %10s %9s %8s %9s %9s %9s %8s\n", "form", "firmware s", "bound s", "x bound",
                "bound of", "MB/s", "of limit", "whole s");
    int status = 0;
    for (bool packetForm : {true, false}) {
        std::vector<Run> runs;
        for (int i = 0; i < repeat; ++i) {
            const Run r = updateOnce(path, data, timing, packetForm);
            if (!r.ok) {
                status = 1;
                break;
            }
            runs.push_back(r);
        }
        if (runs.empty()) continue;
        std::sort(runs.begin(), runs.end(),
                  [](const Run& a, const Run& b) { return a.firmwareSeconds < b.firmwareSeconds; });
        const Run& median = runs[runs.size() / 2];
        const double rate = double(size) / median.firmwareSeconds;
        const double bound = double(frameBound(size, packetForm, timing)) * timing.frameUs / 1e6;
        const double ratio = median.firmwareSeconds / bound;
        std::printf("%-14s %10.3f %9.3f %8.2f %8.2f%% %9.4f %8.2f%% %8.2f\n",
                    packetForm ? "packets" : "UEI + pooled", median.firmwareSeconds, bound, ratio,
                    100.0 * double(size) / bound / limit, rate / 1e6, 100.0 * rate / limit, median.totalSeconds);
        if (!packetForm && ratio > goal) {
            std::printf("UEI + pooled takes %.2f times its frame bound, more than the goal of %.2f\n", ratio, goal);
            if (status == 0) status = 2;
        }
    }
    std::printf("bound: the frames the exchanges need at least; \"bound of\": the share of the bus limit\n"
                "that the bound allows; \"of limit\": the share reached\n");
    return status;
}
