// How long a firmware update takes over a full-speed USB bus: Updater (the
// built program) writes an image into a module on the emulated bus with the
// timing model on, once in packet form and once as UEI byte arrays with pooled
// packets. The firmware phase is timed at the module, from the first firmware
// PREPARE to REBOOT, and set against the bus's own limit.
//
//   usb_bench_update [--size=262144] [--packets-per-frame=19] [--repeat=3]
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
    c.blockSize = 1024;
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

long option(int argc, char** argv, const char* name, long fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return std::atol(argv[i] + n + 1);
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t size = std::size_t(option(argc, argv, "--size", 262144));
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
    std::printf("%-18s %12s %12s %12s %10s\n", "form", "firmware s", "MB/s", "of limit", "whole s");
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
        std::printf("%-18s %12.3f %12.4f %11.2f%% %10.2f\n", packetForm ? "packets" : "UEI + pooled",
                    median.firmwareSeconds, rate / 1e6, 100.0 * rate / limit, median.totalSeconds);
    }
    return status;
}
