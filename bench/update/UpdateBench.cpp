// Firmware update speed: the real Updater writes an image into a simulated
// module (the modsim program) over TCP in a private network namespace, three
// ways: packet form, UEI form without pooled output, UEI form with it. Each
// is set against the request/reply latency measured on the same path in the
// same run, times the round trips the transfer needs.
//   update_bench [--size=BYTES] [--block-size=N] [--repeat=N] [--count=N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "Background.h"
#include "BenchArgs.h"
#include "NetNamespace.h"
#include "Process.h"
#include "aLink.h"
#include "aPacket.h"
#include "birdmake.h"

using testsupport::BackgroundProcess;
using testsupport::ReadFile;

namespace {

constexpr const char* kSerial = "5EED0256";
constexpr std::uint32_t kSerialNumber = 0x5EED0256;
constexpr std::uint8_t kAddress = 2;
constexpr std::uint8_t kCmdEcho = 23;
constexpr std::size_t kDataChunk = 26;  // image bytes per DATA packet
constexpr std::size_t kUeiChunk = 24;   // image bytes per packet of a UEI data set
constexpr std::uint8_t kCmdUpgrade = 95;
constexpr std::uint8_t kUeiDataSet = 0x8A;    // set of option 10
constexpr std::uint8_t kUeiDataReply = 0xCA;

struct Way {
    const char* name;
    const char* mode;  // the -m value
    bool uei;
    bool pooled;       // the module offers pooled packets
};

struct Timing {
    double wall = 0;   // the whole run of the program
    double phase = 0;  // first firmware block message to the firmware total
    bool ok = false;
    std::string why;
};

// A modsim program on the module host; port 0 when it did not come up.
std::unique_ptr<BackgroundProcess> StartModule(const std::vector<std::string>& extra, const std::string& log,
                                               std::uint16_t* port)
{
    std::vector<std::string> argv = {MODSIM_BIN, "--serial", kSerial,    "--model", "4", "--address", "2",
                                     "--version", "2.11.3", "--build", "1000", "--tcp", "0", "--bind", bench::kModuleHost,
                                     "--udp-discovery", bench::kModuleHost};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto module = std::make_unique<BackgroundProcess>(argv, log);
    const std::string tcp = module->ReadLine();
    const std::string udp = module->ReadLine();
    *port = tcp.rfind("tcp ", 0) == 0 && udp.rfind("udp-discovery ", 0) == 0
                ? std::uint16_t(std::atoi(tcp.c_str() + tcp.rfind(' ') + 1))
                : 0;
    return module;
}

// One update of the file into a fresh module. With expected, the flash the
// module dumps must hold exactly the image; without, it keeps no dump: the
// simulator rewrites the whole dump after every piece, a cost of its own that
// would blur the figures.
Timing RunUpdate(const std::string& work, const std::string& bird, const Way& way, std::size_t blockSize,
                 const std::string* expected)
{
    Timing t;
    const std::string dump = work + "/flash.bin";
    std::vector<std::string> extra = {"--block-size", std::to_string(blockSize)};
    if (expected)
        extra.insert(extra.end(), {"--image-out", dump});
    if (!way.pooled)
        extra.push_back("--no-pooled");
    std::uint16_t port = 0;
    auto module = StartModule(extra, work + "/module.log", &port);
    if (port == 0) {
        t.why = "the module did not start: " + ReadFile(work + "/module.log");
        return t;
    }
    const double start = bench::Seconds();
    BackgroundProcess updater({UPDATER_BIN, "-U", "-d", kSerial, "-f", bird, "-m", way.mode, "-i", work + "/store",
                               "-u", "http://127.0.0.1:9/cgi/u"},
                              work + "/updater.err");
    double phaseStart = 0, phaseEnd = 0;
    for (std::string line; !(line = updater.ReadLine(std::chrono::milliseconds(120000))).empty();) {
        if (phaseStart == 0 && line.rfind("Transferring firmware block 1 of", 0) == 0)
            phaseStart = bench::Seconds();
        else if (phaseStart != 0 && phaseEnd == 0 && line.rfind("Transferred ", 0) == 0)
            phaseEnd = bench::Seconds();
    }
    const int status = updater.Stop();
    t.wall = bench::Seconds() - start;
    t.phase = phaseEnd - phaseStart;
    module->Stop();
    if (status != 0 || phaseEnd == 0)
        t.why = "the update failed: " + ReadFile(work + "/updater.err");
    else if (expected && ReadFile(dump) != *expected)
        t.why = "the module's flash differs from the image";
    t.ok = t.why.empty();
    return t;
}

// Puts the packets on the link and waits for the first reply whose second
// data byte is expected; false when none comes within a second.
bool Exchange(int32_t link, const std::vector<std::vector<std::uint8_t>>& requests, std::uint8_t expected)
{
    for (const std::vector<std::uint8_t>& data : requests) {
        aPacket* packet = aPacket_CreateWithData(kAddress, std::uint8_t(data.size()), data.data());
        const aErr err = aLink_PutPacket(link, packet);
        aPacket_Destroy(&packet);
        if (err != aErrNone)
            return false;
    }
    for (;;) {
        aPacket* reply = aLink_AwaitPacket(link, 1000);
        if (reply == nullptr)
            return false;
        const bool match = aPacket_GetData(reply)[1] == expected;
        aPacket_Destroy(&reply);
        if (match)
            return true;
    }
}

// The median of count timed exchanges after 200 untimed ones; 0 on failure.
double MedianUs(int32_t link, int count, const std::vector<std::vector<std::uint8_t>>& requests, std::uint8_t expected)
{
    std::vector<double> us;
    for (int i = 0; i < 200 + count; ++i) {
        const double start = bench::Seconds();
        if (!Exchange(link, requests, expected))
            return 0;
        if (i >= 200)
            us.push_back((bench::Seconds() - start) * 1e6);
    }
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

// The data of one piece as the UEI form sends it: packets of 24 bytes, each
// with its continue flag and sequence number.
std::vector<std::vector<std::uint8_t>> UeiSeries(std::size_t bytes)
{
    std::vector<std::vector<std::uint8_t>> series;
    for (std::size_t at = 0, n = 0; at < bytes || n == 0; at += kUeiChunk, ++n) {
        const std::size_t chunk = std::min(kUeiChunk, bytes - at);
        std::vector<std::uint8_t> data = {kCmdUpgrade, kUeiDataSet, 0x20};
        data.insert(data.end(), chunk, std::uint8_t(n));
        data.push_back(std::uint8_t((at + chunk < bytes ? 0x80 : 0) | (n & 0x7F)));
        series.push_back(data);
    }
    return series;
}

struct Latency {
    double echoUs = 0;    // one packet each way
    double ueiSetUs = 0;  // one piece as a pooled UEI set, and its reply
};

// Request/reply latencies on the path the updates take: a module of the same
// kind, the same address, the same link engine.
Latency MeasureLatency(const std::string& work, int count, std::size_t pieceBytes)
{
    Latency l;
    std::uint16_t port = 0;
    auto module = StartModule({}, work + "/echo.log", &port);
    int32_t link = port ? aLink_CreateTCPIP(kSerialNumber, testsupport::Addr(bench::kModuleHost), port) : 0;
    if (link == 0)
        return l;
    l.echoUs = MedianUs(link, count, {{kCmdEcho, 0x5A}}, 0x5A);
    aLink_EnablePooledPackets(link, true);
    l.ueiSetUs = MedianUs(link, count, UeiSeries(pieceBytes), kUeiDataReply);
    aLink_Destroy(&link);
    module->Stop();
    return l;
}

// Request/reply exchanges of the firmware phase for one block: PREPARE, then
// per piece the data (one UEI set, or a DATA packet per 26 bytes), SUM and WRITE.
std::uint64_t RoundTrips(std::size_t size, std::size_t blockSize, bool uei)
{
    std::uint64_t trips = 1;
    for (std::size_t left = size; left > 0;) {
        const std::size_t piece = std::min(left, blockSize);
        trips += (uei ? 1 : (piece + kDataChunk - 1) / kDataChunk) + 2;
        left -= piece;
    }
    return trips;
}

}  // namespace

static const char* const kUsage =
    "usage: update_bench [--size=BYTES] [--block-size=N] [--repeat=N] [--count=N]\n"
    "  The Updater writes an image of --size bytes (default 262144) in blocks of\n"
    "  --block-size (default 512) into a simulated module over TCP in a private\n"
    "  network namespace (needs root), in packet form and in UEI form without and\n"
    "  with pooled output, each --repeat times (default 3), set against --count\n"
    "  (default 2000) round trips measured on the same path. Goals: UEI pooled at\n"
    "  least 5x the packet form and within 2x of its round-trip bound. Exit code\n"
    "  2 when a goal is missed or the options are bad, 1 when a run failed.\n";

int main(int argc, char** argv)
{
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    long size = 256 * 1024, blockSize = 512, repeat = 3, count = 2000;
    bench::Option(argc, argv, "--size", &size);
    bench::Option(argc, argv, "--block-size", &blockSize);
    bench::Option(argc, argv, "--repeat", &repeat);
    bench::Option(argc, argv, "--count", &count);
    if (size <= 0 || blockSize <= 0 || blockSize > 65535 || repeat <= 0 || count <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!bench::EnterModuleStage("update_bench", "ub0", "ub1"))
        return 1;
    std::string why;
    testsupport::TempDir work;

    birdmake::Image image;
    image.blocks.push_back(birdmake::LoaderBlock(0x10000000, birdmake::RandomData(64, 2)));
    image.blocks.push_back(birdmake::FirmwareBlock(0, birdmake::RandomData(std::size_t(size), 1)));
    image.blocks.push_back(birdmake::InfoBlock("2001", "2.16.1", kSerial, "TS-Hub4"));
    const std::vector<std::uint8_t> data = birdmake::FirmwareData(image);
    const std::string expected(data.begin(), data.end());
    const std::string bird = work.file("image.bird");
    if (!birdmake::WriteFile(bird, image, &why)) {
        std::fprintf(stderr, "update_bench: %s\n", why.c_str());
        return 1;
    }

    const Latency latency = MeasureLatency(work.path(), int(count), std::size_t(blockSize));
    if (latency.echoUs <= 0 || latency.ueiSetUs <= 0) {
        std::fprintf(stderr, "update_bench: the latency exchanges failed\n");
        return 1;
    }
    const double latencyUs = latency.echoUs;
    std::printf("update_bench: %ld-byte image, block size %ld, median of %ld runs per way\n", size, blockSize, repeat);
    std::printf("request/reply latency on the same path, median of %ld: echo %.1f us, %ld-byte UEI set (pooled) "
                "%.1f us\n\n",
                count, latency.echoUs, blockSize, latency.ueiSetUs);
    std::printf("%-18s %8s %8s %8s %11s %7s %8s %6s\n", "way", "wall s", "phase s", "best s", "phase KB/s", "trips",
                "bound s", "ratio");

    const Way ways[] = {{"packet (-m 0)", "0", false, true},
                        {"UEI, not pooled", "1", true, false},
                        {"UEI, pooled", "1", true, true}};
    double phase[3] = {0, 0, 0}, ratio[3] = {0, 0, 0};
    for (int w = 0; w < 3; ++w) {
        // One run that proves the image arrives exact, then the timed ones.
        std::vector<Timing> runs;
        for (long r = -1; r < repeat; ++r) {
            Timing t = RunUpdate(work.path(), bird, ways[w], std::size_t(blockSize), r < 0 ? &expected : nullptr);
            if (!t.ok) {
                std::fprintf(stderr, "update_bench: %s: %s\n", ways[w].name, t.why.c_str());
                return 1;
            }
            if (r >= 0)
                runs.push_back(t);
        }
        std::sort(runs.begin(), runs.end(), [](const Timing& a, const Timing& b) { return a.phase < b.phase; });
        const Timing& median = runs[runs.size() / 2];
        const std::uint64_t trips = RoundTrips(std::size_t(size), std::size_t(blockSize), ways[w].uei);
        const double bound = double(trips) * latencyUs / 1e6;
        phase[w] = median.phase;
        ratio[w] = median.phase / bound;
        std::printf("%-18s %8.3f %8.3f %8.3f %11.1f %7llu %8.3f %6.2f\n", ways[w].name, median.wall, median.phase,
                    runs.front().phase, double(size) / median.phase / 1024.0, (unsigned long long)trips, bound,
                    ratio[w]);
    }
    // The same bound with each UEI set at its own measured cost.
    const std::uint64_t sets = (std::uint64_t(size) + std::uint64_t(blockSize) - 1) / std::uint64_t(blockSize);
    const double ueiBound =
        (double(sets) * latency.ueiSetUs + double(RoundTrips(std::size_t(size), std::size_t(blockSize), true) - sets) *
                                               latency.echoUs) /
        1e6;
    const double speedup = phase[0] / phase[2];
    const bool fastEnough = speedup >= 5.0, nearBound = ratio[2] <= 2.0;
    std::printf("\nUEI pooled against packet form: %.1fx (goal: at least 5x) %s\n", speedup, fastEnough ? "ok" : "MISSED");
    std::printf("UEI pooled against its round-trip bound: %.2fx (goal: within 2x) %s\n", ratio[2],
                nearBound ? "ok" : "MISSED");
    std::printf("UEI pooled against %llu UEI sets and %llu echoes at their measured latencies (%.3f s): %.2fx\n",
                (unsigned long long)sets,
                (unsigned long long)(RoundTrips(std::size_t(size), std::size_t(blockSize), true) - sets), ueiBound,
                phase[2] / ueiBound);
    return fastEnough && nearBound ? 0 : 2;
}
