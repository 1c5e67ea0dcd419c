// Idle cost of a connected link: CPU time of this process while a link to the
// simulated module sits idle, as a share of one core.
//   link_bench_idle [--seconds=N] [--serial] [--heartbeat-ms=N] [--goal=PERCENT]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "BenchSupport.h"

using namespace linkbench;

namespace {

const char* const kUsage =
    "usage: link_bench_idle [--seconds=N] [--serial] [--heartbeat-ms=N] [--goal=PERCENT]\n"
    "  CPU time of this process while a connected link (TCP, or --serial) to the\n"
    "  simulated module sits idle for --seconds (default 10), as a share of one\n"
    "  core; with --heartbeat-ms the module sends heartbeats at that interval.\n"
    "  Exit code 2 when the share is above --goal (default 0.1 %), 1 when the link\n"
    "  does not work before or after the idle period.\n";

}  // namespace

int main(int argc, char** argv)
{
    if (helpWanted(argc, argv, kUsage))
        return 0;
    std::string value;
    double seconds = option(argc, argv, "--seconds", value) ? std::atof(value.c_str()) : 10.0;
    std::uint32_t heartbeatMs =
        option(argc, argv, "--heartbeat-ms", value) ? std::uint32_t(std::atoi(value.c_str())) : 0;
    const bool serial = flag(argc, argv, "--serial");
    const double goal = option(argc, argv, "--goal", value) ? std::atof(value.c_str()) : 0.1;

    ChildModule module(heartbeatMs);
    if (!module.ok()) {
        std::fprintf(stderr, "link_bench_idle: simulator did not start\n");
        return 1;
    }
    int32_t link = module.connect(serial);
    if (link == 0 || !roundTrip(link, 1)) {
        std::fprintf(stderr, "link_bench_idle: no working link\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const std::uint64_t wall0 = nowNs(), cpu0 = cpuNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t wall1 = nowNs(), cpu1 = cpuNs();

    const bool alive = roundTrip(link, 2);
    aLink_Destroy(&link);
    const double share = 100.0 * double(cpu1 - cpu0) / double(wall1 - wall0);
    std::printf("idle %s link, %.1f s%s: CPU %.3f ms = %.3f %% of one core (goal <= %.2f %%) %s\n",
                serial ? "serial" : "tcp", double(wall1 - wall0) / 1e9,
                heartbeatMs ? (", heartbeat every " + std::to_string(heartbeatMs) + " ms").c_str() : "",
                double(cpu1 - cpu0) / 1e6, share, goal, share <= goal ? "ok" : "OVER");
    if (!alive) {
        std::fprintf(stderr, "link_bench_idle: link did not answer after the idle period\n");
        return 1;
    }
    return share <= goal ? 0 : 2;
}
