// Stream samples fanned out by a link server: the module streams one value at
// a fixed rate; 1, 4 and 16 clients enable it and count what reaches them.
// A sample is lost when its timestamp slot is missing at a client.
//   linkserver_bench_fanout [--rate=1000] [--seconds=3] [--heartbeat-ms=50]
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "ServedModule.h"
#include "aUEI.h"

using namespace srvbench;

namespace {

// Counts one client's samples and the slots missing between them.
struct Counter {
    int32_t link = 0;
    std::atomic<bool> counting{false}, stop{false};
    std::uint64_t samples = 0, missing = 0, last = 0;
    std::uint64_t periodUs = 1000;
    std::thread thread;

    void run()
    {
        while (!stop) {
            aPacket* packet = aLink_AwaitPacket(link, 50);
            if (packet == nullptr || !aUEI_isStreamPacket(packet)) {
                aPacket_Destroy(&packet);
                continue;
            }
            const std::uint8_t* data = aPacket_GetData(packet);
            const std::uint64_t stamp = std::uint64_t(aUEI_RetrieveInt(data + 4)) << 32 | aUEI_RetrieveInt(data + 8);
            aPacket_Destroy(&packet);
            if (!counting)
                continue;
            if (last != 0 && stamp > last + periodUs + periodUs / 2)
                missing += (stamp - last + periodUs / 2) / periodUs - 1;
            last = stamp;
            ++samples;
        }
    }
};

bool enable(int32_t link)
{
    // Stream control enable for module 2, system class 3, option 27, index 0.
    const std::uint8_t data[] = {93, 0x81, 0x20, kAddress, 3, 27, 0};
    aPacket* packet = aPacket_CreateWithData(kAddress, sizeof data, data);
    const bool ok = packet != nullptr && aLink_PutPacket(link, packet) == aErrNone;
    aPacket_Destroy(&packet);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (wantsHelp(argc, argv)) {
        std::printf("usage: linkserver_bench_fanout [--rate=1000] [--seconds=3] [--heartbeat-ms=50]\n"
                    "A simulated module streams one value at --rate samples a second; 1, 4 and 16\n"
                    "client links of a link server enable it and count what reaches them for\n"
                    "--seconds each. Exit code 1 when a sample was lost.\n");
        return 0;
    }
    std::string value;
    const unsigned rate = option(argc, argv, "--rate", value) ? unsigned(std::atoi(value.c_str())) : 1000;
    const int seconds = option(argc, argv, "--seconds", value) ? std::atoi(value.c_str()) : 3;
    const unsigned heartbeat =
        option(argc, argv, "--heartbeat-ms", value) ? unsigned(std::atoi(value.c_str())) : 50;
    if (rate == 0 || seconds <= 0)
        return 2;
    ChildModule module(rate, heartbeat);
    Served served;
    if (module.port() == 0 || !serve(module.port(), served)) {
        std::fprintf(stderr, "linkserver_bench_fanout: no served module\n");
        return 1;
    }
    std::printf("module rate %u samples/s, %d s per run, heartbeat every %u ms\n", rate, seconds, heartbeat);
    int result = 0;
    for (int clients : {1, 4, 16}) {
        std::vector<std::unique_ptr<Counter>> counters;
        for (int i = 0; i < clients; ++i) {
            auto counter = std::make_unique<Counter>();
            counter->periodUs = 1000000u / rate;
            counter->link = aLink_CreateClient(htonl(INADDR_LOOPBACK), served.port, 0);
            if (counter->link == 0 || !enable(counter->link)) {
                std::fprintf(stderr, "linkserver_bench_fanout: client %d failed\n", i);
                return 1;
            }
            counter->thread = std::thread(&Counter::run, counter.get());
            counters.push_back(std::move(counter));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (auto& counter : counters)
            counter->counting = true;
        const std::uint64_t start = nowNs();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        for (auto& counter : counters)
            counter->counting = false;
        const double took = double(nowNs() - start) / 1e9;
        std::uint64_t least = UINT64_MAX, most = 0, missing = 0;
        for (auto& counter : counters) {
            counter->stop = true;
            counter->thread.join();
            least = std::min(least, counter->samples);
            most = std::max(most, counter->samples);
            missing += counter->missing;
            aLink_Destroy(&counter->link);
        }
        std::printf("%2d clients: %8.0f to %8.0f samples/s per client, %9.0f delivered/s in all, "
                    "%llu lost %s\n",
                    clients, double(least) / took, double(most) / took,
                    double(most) * clients / took, (unsigned long long)missing, missing ? "LOSS" : "ok");
        if (missing)
            result = 1;
    }
    aLink_Destroy(&served.client);
    return result;
}
