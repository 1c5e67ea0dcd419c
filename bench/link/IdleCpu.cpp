// Idle cost of a connected link: CPU time of this process while a link to the
// simulated module sits idle, as a share of one core.
//   link_bench_idle [--seconds=N] [--serial] [--heartbeat-ms=N]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "BenchSupport.h"

using namespace linkbench;

int main(int argc, char** argv)
{
    std::string value;
    double seconds = option(argc, argv, "--seconds", value) ? std::atof(value.c_str()) : 10.0;
    std::uint32_t heartbeatMs =
        option(argc, argv, "--heartbeat-ms", value) ? std::uint32_t(std::atoi(value.c_str())) : 0;
    const bool serial = flag(argc, argv, "--serial");

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
    std::printf("idle %s link, %.1f s%s: CPU %.3f ms = %.3f %% of one core (goal <= 1 %%) %s\n",
                serial ? "serial" : "tcp", double(wall1 - wall0) / 1e9,
                heartbeatMs ? (", heartbeat every " + std::to_string(heartbeatMs) + " ms").c_str() : "",
                double(cpu1 - cpu0) / 1e6, share, share <= 1.0 ? "ok" : "OVER");
    if (!alive) {
        std::fprintf(stderr, "link_bench_idle: link did not answer after the idle period\n");
        return 1;
    }
    return share <= 1.0 ? 0 : 2;
}
