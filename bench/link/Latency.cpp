// Request/reply latency: one echo packet put on the link, answered by the
// simulated module, awaited by the caller; repeated and summarised.
//   link_bench_latency [--count=N] [--serial] [--pooled]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"

using namespace linkbench;

static const char* const kUsage =
    "usage: link_bench_latency [--count=N] [--serial] [--pooled]\n"
    "  One echo packet put on a link to the simulated module and awaited, 200\n"
    "  warm-up round trips and then --count (default 10000) timed ones, over TCP\n"
    "  (or --serial: a pseudo-terminal), pooled output on with --pooled. Prints\n"
    "  median, p99, max and mean (goal: median under 150 us). Exit code 1 when\n"
    "  a round trip was lost or the module did not start, 2 for bad options.\n";

int main(int argc, char** argv)
{
    if (helpWanted(argc, argv, kUsage))
        return 0;
    std::string value;
    const int count = option(argc, argv, "--count", value) ? std::atoi(value.c_str()) : 10000;
    const bool serial = flag(argc, argv, "--serial");
    const bool pooled = flag(argc, argv, "--pooled");
    if (count <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    ChildModule module;
    if (!module.ok()) {
        std::fprintf(stderr, "link_bench_latency: simulator did not start\n");
        return 1;
    }
    int32_t link = module.connect(serial);
    if (link == 0) {
        std::fprintf(stderr, "link_bench_latency: no link\n");
        return 1;
    }
    aLink_EnablePooledPackets(link, pooled);
    for (int i = 0; i < 200; ++i)
        if (!roundTrip(link, std::uint8_t(i))) {
            std::fprintf(stderr, "link_bench_latency: warm-up round trip %d failed\n", i);
            return 1;
        }

    std::vector<double> us;
    us.reserve(size_t(count));
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t start = nowNs();
        if (!roundTrip(link, std::uint8_t(i))) {
            ++lost;
            continue;
        }
        us.push_back(double(nowNs() - start) / 1000.0);
    }
    aLink_Destroy(&link);
    if (us.empty())
        return 1;
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    double sum = 0;
    for (double v : us)
        sum += v;
    std::printf("%s link%s, %zu round trips (%d lost): min %.1f  median %.1f  p90 %.1f  p99 %.1f  "
                "max %.1f  mean %.1f us (goal: median < 150 us) %s\n",
                serial ? "serial" : "tcp", pooled ? " pooled" : "", us.size(), lost, us.front(),
                at(0.5), at(0.9), at(0.99), us.back(), sum / double(us.size()),
                at(0.5) < 150.0 ? "ok" : "OVER");
    return lost == 0 ? 0 : 1;
}
