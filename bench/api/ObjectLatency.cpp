// What the object layer adds to a request/reply: SystemClass::getSerialNumber
// (a UEI get and its reply, through Module, EntityClass and Link) against the
// raw echo of the link benchmarks, interleaved over one TCP link to a
// simulated module in a child process.
//   api_bench_latency [--count=N]
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Module.h"
#include "SystemClass.h"

using namespace linkbench;
using namespace Tarvelin::Tessaluma;

namespace {

struct Summary {
    double median, p90, p99;
};

Summary summarise(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    return {at(0.5), at(0.9), at(0.99)};
}

}  // namespace

static const char* const kUsage =
    "usage: api_bench_latency [--count=N]\n"
    "  A serial number get through the object layer against the link's raw echo,\n"
    "  interleaved --count times (default 20000) over one TCP link to a simulated\n"
    "  module. Prints median, p90 and p99 of each and what the object layer adds\n"
    "  (goal: at most 10 % at the median). Exit code 1 when a request failed,\n"
    "  2 for bad options.\n";

int main(int argc, char** argv)
{
    if (helpWanted(argc, argv, kUsage))
        return 0;
    std::string value;
    const int count = option(argc, argv, "--count", value) ? std::atoi(value.c_str()) : 20000;
    if (count <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    ChildModule child;
    if (!child.ok()) {
        std::fprintf(stderr, "api_bench_latency: simulator did not start\n");
        return 1;
    }
    Module module(kAddress, 0);
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = kSerial;
    spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
    spec.t.ip.ip_port = child.port();
    if (module.setConfig(config) != aErrNone || module.connectFromSpec(spec) != aErrNone) {
        std::fprintf(stderr, "api_bench_latency: no connection\n");
        return 1;
    }
    SystemClass system;
    system.init(&module, 0);
    const int32_t stem = module.getLink()->stem();

    uint32_t serial = 0;
    for (int i = 0; i < 500; ++i)
        if (!roundTrip(stem, uint8_t(i)) || system.getSerialNumber(&serial) != aErrNone) {
            std::fprintf(stderr, "api_bench_latency: warm-up failed\n");
            return 1;
        }
    std::vector<double> raw, object;
    raw.reserve(size_t(count));
    object.reserve(size_t(count));
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        uint64_t start = nowNs();
        if (roundTrip(stem, uint8_t(i)))
            raw.push_back(double(nowNs() - start) / 1000.0);
        else
            ++failed;
        start = nowNs();
        if (system.getSerialNumber(&serial) == aErrNone && serial == kSerial)
            object.push_back(double(nowNs() - start) / 1000.0);
        else
            ++failed;
    }
    module.disconnect();
    if (raw.empty() || object.empty())
        return 1;
    const Summary r = summarise(raw), o = summarise(object);
    std::printf("tcp, %d pairs interleaved, %d failed\n", count, failed);
    std::printf("  raw link echo           median %7.1f  p90 %7.1f  p99 %7.1f us\n", r.median, r.p90, r.p99);
    std::printf("  getSerialNumber         median %7.1f  p90 %7.1f  p99 %7.1f us\n", o.median, o.p90, o.p99);
    const double added = (o.median / r.median - 1.0) * 100.0;
    std::printf("  object layer adds %.1f %% at the median, %.1f %% at p99 (goal: <= 10 %% at the median) %s\n",
                added, (o.p99 / r.p99 - 1.0) * 100.0, added <= 10.0 ? "ok" : "OVER");
    return failed == 0 ? 0 : 1;
}
