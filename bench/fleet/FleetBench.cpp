// Several modules in one command: the real Updater writes a stored build into
// eight simulated modules (the modsim program) over TCP in a private network
// namespace, once as eight single updates one after another and once as one
// -U -d ALL, in the same run. Goal: the one command takes at most 1.5 times
// one single update.
//   fleet_bench [--modules=8] [--size=BYTES] [--repeat=3] [--jobs=8]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Background.h"
#include "BenchArgs.h"
#include "NetNamespace.h"
#include "Process.h"
#include "birdmake.h"

using testsupport::BackgroundProcess;
using testsupport::ReadFile;

namespace {

constexpr const char* kBuild = "2001";

const char* const kHelp =
    "usage: fleet_bench [--modules=8] [--size=BYTES] [--repeat=3] [--jobs=8]\n"
    "Runs as root in a private network namespace: starts the simulated modules on 198.18.9.2,\n"
    "stores build 2001 for each, then times eight single updates (-U -d SERIAL -b 2001) one\n"
    "after another against one -U -d ALL -b 2001, and one -U -d S1,...,S8 -b 2001, repeat times.\n"
    "Prints the medians and fleet / single; exit 0 when -d ALL takes at most 1.5x one single\n"
    "update, 2 when it takes longer, 1 when a run failed or a flash was not exact.\n";

std::string Serial(long i)
{
    char text[16];
    std::snprintf(text, sizeof text, "5EED%04X", unsigned(i) & 0xFFFFu);
    return text;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The modules, each with its flash dumped to work/SERIAL.bin when dumps is set.
class Rack {
public:
    Rack(const std::string& work, long count, bool dumps)
    {
        for (long i = 1; i <= count; ++i) {
            std::vector<std::string> argv = {MODSIM_BIN, "--serial", Serial(i), "--model", "4", "--address", "2",
                                             "--version", "2.11.3", "--build", "1000", "--tcp", "0", "--bind",
                                             bench::kModuleHost, "--udp-discovery", bench::kModuleHost};
            if (dumps)
                argv.insert(argv.end(), {"--image-out", work + "/" + Serial(i) + ".bin"});
            const std::string log = work + "/module" + std::to_string(i) + ".log";
            modules_.push_back(std::make_unique<BackgroundProcess>(argv, log));
            const std::string tcp = modules_.back()->ReadLine(), udp = modules_.back()->ReadLine();
            if (tcp.rfind("tcp ", 0) != 0 || udp.rfind("udp-discovery ", 0) != 0)
                why_ = "module " + Serial(i) + " did not start: " + ReadFile(log);
        }
    }
    const std::string& why() const { return why_; }

private:
    std::vector<std::unique_ptr<BackgroundProcess>> modules_;
    std::string why_;
};

// The modules' restart after REBOOT (modsim's default 300 ms away) doubled:
// an update ends when its module drops the link, and the next run must not
// find it still away. Waited before each run, outside its timing.
constexpr auto kRestartPause = std::chrono::milliseconds(600);

// One Updater run; its wall time, or a negative figure when it failed.
double Run(const std::string& work, std::vector<std::string> args)
{
    std::this_thread::sleep_for(kRestartPause);
    std::vector<std::string> argv = {UPDATER_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-i", work + "/store", "-u", "http://127.0.0.1:9/cgi/u"});
    testsupport::ProcessOptions options;
    options.timeout = std::chrono::milliseconds(300000);
    const double start = bench::Seconds();
    const testsupport::ProcessResult r = testsupport::RunProcess(argv, options);
    const double wall = bench::Seconds() - start;
    if (r.exitCode != 0) {
        std::fprintf(stderr, "fleet_bench: Updater %s failed (%d):\n%s%s\n", args.front().c_str(), r.exitCode,
                     r.out.c_str(), r.err.c_str());
        return -1;
    }
    return wall;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
    long count = 8, size = 64 * 1024, repeat = 3, jobs = 8;
    bench::Option(argc, argv, "--modules", &count);
    bench::Option(argc, argv, "--size", &size);
    bench::Option(argc, argv, "--repeat", &repeat);
    bench::Option(argc, argv, "--jobs", &jobs);
    if (count < 1 || count > 64 || size <= 0 || repeat <= 0 || jobs < 1 || jobs > 64) {
        std::fputs(kHelp, stderr);
        return 1;
    }
    if (!bench::EnterModuleStage("fleet_bench", "fb0", "fb1"))
        return 1;
    std::string why;
    testsupport::TempDir work;

    // Each module's own image of build 2001, as a download leaves it in the store.
    std::vector<std::string> expected;
    std::string serials;
    for (long i = 1; i <= count; ++i) {
        birdmake::Image image;
        image.blocks.push_back(birdmake::LoaderBlock(0x10000000, birdmake::RandomData(64, 2)));
        image.blocks.push_back(birdmake::FirmwareBlock(0, birdmake::RandomData(std::size_t(size), uint64_t(i))));
        image.blocks.push_back(birdmake::InfoBlock(kBuild, "2.16.1", Serial(i), "TS-Hub4"));
        birdmake::WriteIdentity(image, 2001, 2, 16, 1);
        const std::string dir = work.path() + "/store/updater/" + Serial(i);
        testsupport::RunProcess({"/bin/mkdir", "-p", dir});
        if (!birdmake::WriteFile(dir + "/" + kBuild + ".bird", image, &why)) {
            std::fprintf(stderr, "fleet_bench: %s\n", why.c_str());
            return 1;
        }
        const std::vector<std::uint8_t> data = birdmake::FirmwareData(image);
        expected.emplace_back(data.begin(), data.end());
        serials += (i > 1 ? "," : "") + Serial(i);
    }
    const std::string jobsText = std::to_string(jobs);

    // One run with the flashes dumped proves every image arrives exact; the
    // timed runs keep no dumps (the simulator rewrites its whole dump after
    // every piece, a cost of its own that would blur the figures).
    {
        Rack rack(work.path(), count, true);
        if (!rack.why().empty() ||
            Run(work.path(), {"-U", "-d", "ALL", "-b", kBuild, "--jobs", jobsText}) < 0) {
            std::fprintf(stderr, "fleet_bench: the proving run failed %s\n", rack.why().c_str());
            return 1;
        }
        for (long i = 1; i <= count; ++i)
            if (ReadFile(work.path() + "/" + Serial(i) + ".bin").compare(0, std::string::npos, expected[i - 1]) != 0) {
                std::fprintf(stderr, "fleet_bench: the flash of %s differs from its image\n", Serial(i).c_str());
                return 1;
            }
    }

    Rack rack(work.path(), count, false);
    if (!rack.why().empty()) {
        std::fprintf(stderr, "fleet_bench: %s\n", rack.why().c_str());
        return 1;
    }
    std::vector<double> single, singles, all, list;
    for (long r = 0; r < repeat; ++r) {
        double total = 0;
        for (long i = 1; i <= count; ++i) {
            const double t = Run(work.path(), {"-U", "-d", Serial(i), "-b", kBuild});
            if (t < 0)
                return 1;
            single.push_back(t);
            total += t;
        }
        singles.push_back(total);
        const double a = Run(work.path(), {"-U", "-d", "ALL", "-b", kBuild, "--jobs", jobsText});
        const double l = Run(work.path(), {"-U", "-d", serials, "-b", kBuild, "--jobs", jobsText});
        if (a < 0 || l < 0)
            return 1;
        all.push_back(a);
        list.push_back(l);
    }
    const double one = Median(single), ratioAll = Median(all) / one, ratioList = Median(list) / one;
    std::printf("fleet_bench: %ld modules over TCP/IP, %ld-byte image each, --jobs %ld, medians of %ld runs\n",
                count, size, jobs, repeat);
    std::printf("one single update (-U -d SERIAL)          %7.3f s\n", one);
    std::printf("%ld single updates one after another       %7.3f s  (%.2fx one)\n", count, Median(singles),
                Median(singles) / one);
    std::printf("one -U -d ALL (discovery included)         %7.3f s  (%.2fx one)\n", Median(all), ratioAll);
    std::printf("one -U -d S1,...,S%ld (no discovery wait)    %7.3f s  (%.2fx one)\n", count, Median(list),
                ratioList);
    const bool met = ratioAll <= 1.5;
    std::printf("-d ALL against one single update: %.2fx (goal: at most 1.5x) %s\n", ratioAll, met ? "ok" : "MISSED");
    if (!met)
        std::printf("  -d ALL first waits out discovery: the legacy query listens until no answer has come for "
                    "2 s, which a single update (stopping at its module's answer) never does; the list form "
                    "shows the updates themselves.\n");
    return met ? 0 : 2;
}
