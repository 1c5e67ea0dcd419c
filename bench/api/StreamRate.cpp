// Stream samples through the link's filter, cache and callback worker, from a
// simulated module in this process whose line is fed by a pacing thread.
//  1. Rate sweep: samples at a fixed rate for a while; the highest rate at
//     which every sample reached its callback.
//  2. Input thread cost: a burst already waiting on the socket, timed from the
//     first to the last sample cached.
//   api_bench_streams [--seconds=S] [--burst=N]
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ModuleSession.h"
#include "Module.h"
#include "SystemClass.h"
#include "TcpServer.h"
#include "aTime.h"

using namespace linkbench;
using namespace Tarvelin::Tessaluma;

namespace {

constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kTemperature = 27;

modsim::Packet sample(uint32_t value)
{
    std::vector<uint8_t> d = {kCmdSystem, kTemperature, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int shift = 24; shift >= 0; shift -= 8)
        d.push_back(uint8_t(value >> shift));
    d.push_back(0);
    return modsim::Packet{kAddress, d};
}

// Pushes count samples evenly over the given time; returns how many went.
uint32_t pace(modsim::ModuleSession& session, uint32_t first, double rate, double seconds)
{
    const auto start = std::chrono::steady_clock::now();
    const uint32_t total = uint32_t(rate * seconds);
    uint32_t sent = 0;
    while (sent < total) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const uint32_t due = std::min(total, uint32_t(elapsed * rate) + 1);
        while (sent < due)
            session.pushPacket(sample(first + sent++));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return sent;
}

}  // namespace

static const char* const kUsage =
    "usage: api_bench_streams [--seconds=S] [--burst=N]\n"
    "  Stream samples from a simulated module in this process through the\n"
    "  link's filter, cache and callback worker: the highest rate at which every\n"
    "  sample of --seconds (default 2) reached its callback, then the time the\n"
    "  input thread takes to cache a waiting burst of --burst samples (default\n"
    "  100000). Exit code 1 when the module or the burst failed.\n";

int main(int argc, char** argv)
{
    if (helpWanted(argc, argv, kUsage))
        return 0;
    std::string value;
    const double seconds = option(argc, argv, "--seconds", value) ? std::atof(value.c_str()) : 2.0;
    const uint32_t burst = option(argc, argv, "--burst", value) ? uint32_t(std::atoi(value.c_str())) : 100000;

    modsim::ModuleConfig config;
    config.serial = kSerial;
    config.address = kAddress;
    config.streamRateHz = 0;
    modsim::ModuleSession session(config, modsim::Framing::Raw);
    modsim::TcpServer server(session);
    if (!server.start(0))
        return 1;
    Module module(kAddress, 0);
    aEtherConfig ether;
    ether.enabled = false;
    ether.fallback = false;
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = kSerial;
    spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
    spec.t.ip.ip_port = server.port();
    if (module.setConfig(ether) != aErrNone || module.connectFromSpec(spec) != aErrNone)
        return 1;
    Link& link = *module.getLink();
    std::atomic<uint32_t> calls{0};
    if (link.registerStreamCallback(kAddress, kCmdSystem, kTemperature, 0, true,
                                    [&](const aPacket*, void*) -> uint8_t {
                                        ++calls;
                                        return 0;
                                    },
                                    nullptr) != aErrNone)
        return 1;

    auto waitForValue = [&](uint32_t wanted, int timeoutMs) {
        uint32_t v = 0;
        for (int i = 0; i < timeoutMs; ++i) {
            if (link.getStreamValue(kAddress, kCmdSystem, kTemperature, 0, 0, &v) != aErrNotFound && v == wanted)
                return true;
            aTime_MSSleep(1);
        }
        return false;
    };

    std::printf("rate sweep, %.1f s per rate:\n", seconds);
    uint32_t next = 1;
    double sustained = 0;
    for (double rate : {1000.0, 5000.0, 10000.0, 20000.0, 50000.0, 100000.0, 200000.0}) {
        calls = 0;
        const uint32_t sent = pace(session, next, rate, seconds);
        next += sent;
        const bool arrived = waitForValue(next - 1, 5000);
        aTime_MSSleep(100);
        const uint32_t got = calls.load();
        std::printf("  %8.0f samples/s: %u sent, %u callbacks%s\n", rate, sent, got,
                    arrived ? "" : " (last sample not cached in time)");
        if (got == sent && arrived)
            sustained = rate;
        else
            break;
    }
    std::printf("  highest rate with every callback delivered: %.0f samples/s\n", sustained);

    // Burst: queue everything first (the module's line drains it as fast as
    // the socket takes it), then time the host from first to last.
    calls = 0;
    const uint64_t cpuStart = cpuNs();
    const uint64_t start = nowNs();
    for (uint32_t i = 0; i < burst; ++i)
        session.pushPacket(sample(next + i));
    next += burst;
    const bool done = waitForValue(next - 1, 60000);
    const uint64_t elapsed = nowNs() - start;
    const uint64_t cpu = cpuNs() - cpuStart;
    std::printf("burst of %u samples: %s in %.1f ms, %.2f us per sample at the input thread (wall), "
                "%.2f us CPU per sample (whole process, simulator included), %u callbacks (%u dropped)\n",
                burst, done ? "cached" : "NOT all cached", double(elapsed) / 1e6, double(elapsed) / 1e3 / burst,
                double(cpu) / 1e3 / burst, calls.load(), burst - calls.load());
    link.registerStreamCallback(kAddress, kCmdSystem, kTemperature, 0, false, nullptr, nullptr);
    module.disconnect();
    server.stop();
    return done ? 0 : 1;
}
