// Request/reply through a link server against the same exchange on the link
// it serves, taking turns so that all see the same machine load: the direct
// link, the server's own client link (in this process, as a Link with
// `enabled` talks), and a client link over TCP (as another program's).
//   linkserver_bench_latency [--count=N]
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ServedModule.h"

using namespace srvbench;

namespace {

struct Summary {
    double median, p99;
};

Summary summarise(std::vector<double>& us)
{
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    return {at(0.5), at(0.99)};
}

}  // namespace

int main(int argc, char** argv)
{
    std::string value;
    const int count = option(argc, argv, "--count", value) ? std::atoi(value.c_str()) : 10000;
    if (count <= 0)
        return 2;
    ChildModule module(0, 0);
    Served served;
    if (module.port() == 0 || !serve(module, served)) {
        std::fprintf(stderr, "linkserver_bench_latency: no served module\n");
        return 1;
    }
    int32_t remote = aLink_CreateClient(htonl(INADDR_LOOPBACK), served.port, 0);
    if (remote == 0) {
        std::fprintf(stderr, "linkserver_bench_latency: no TCP client\n");
        return 1;
    }
    // The served link is quiet between the exchanges through the server, so
    // it can be used directly in between.
    const int32_t links[3] = {served.local, served.client, remote};
    for (int i = 0; i < 200; ++i)
        for (int32_t link : links)
            if (!roundTrip(link, std::uint8_t(i))) {
                std::fprintf(stderr, "linkserver_bench_latency: warm-up round trip %d failed\n", i);
                return 1;
            }
    std::vector<double> us[3];
    int lost = 0;
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) {
            const std::uint64_t start = nowNs();
            if (roundTrip(links[k], std::uint8_t(i)))
                us[k].push_back(double(nowNs() - start) / 1000.0);
            else
                ++lost;
        }
    aLink_Destroy(&remote);
    aLink_Destroy(&served.client);
    if (us[0].empty() || us[1].empty() || us[2].empty())
        return 1;
    const Summary d = summarise(us[0]);
    std::printf("%d round trips each (%d lost)\n", count, lost);
    std::printf("direct link:                 median %7.1f us  p99 %7.1f us\n", d.median, d.p99);
    bool over = false;
    const char* names[3] = {"", "server, own client link:", "server, TCP client link:"};
    for (int k = 1; k < 3; ++k) {
        const Summary s = summarise(us[k]);
        over = over || s.median - d.median > 150.0;
        std::printf("%-28s median %7.1f us  p99 %7.1f us  ratio %.2f (median) %.2f (p99), "
                    "adds %.1f us at the median\n",
                    names[k], s.median, s.p99, s.median / d.median, s.p99 / d.p99, s.median - d.median);
    }
    std::printf("aim: the server adds at most 150 us at the median: %s\n", over ? "OVER" : "ok");
    return lost == 0 ? 0 : 1;
}
