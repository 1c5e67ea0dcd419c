// What the link adds to a request: a UEI get (the module's model) through the
// link, put on it and awaited with a filter as the object layer does, against
// the same request as raw bytes on a plain socket to a twin of the module,
// written and read back by the caller itself. The two alternate in one loop,
// so that both see the same machine.
//   link_bench_request [--count=N] [--goal=RATIO]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "BenchSupport.h"

using namespace linkbench;

namespace {

const char* const kUsage =
    "usage: link_bench_request [--count=N] [--goal=RATIO]\n"
    "  A UEI get of the module's model through a TCP link (put, then awaited with a\n"
    "  filter) alternates with the same request on a raw socket to a twin of the\n"
    "  simulated module; 200 warm-up rounds, then --count (default 10000) of each.\n"
    "  Prints both distributions and the ratio of the medians; exit code 2 when the\n"
    "  ratio is above --goal (default 1.3), 1 when a request fails.\n";

// Command 3 (system), get of option 8 (model), index 0 as a request; the
// reply carries the option code without the get bit.
constexpr std::uint8_t kModelGet[] = {3, 0x48, 0x20};
constexpr std::uint8_t kModelOption = 8;
constexpr size_t kReplyWire = 2 + 4;

bool isModelReply(const aPacket* packet, void*)
{
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const std::uint8_t* data = aPacket_GetData(packet);
    return address == kAddress && length == 4 && data[0] == kModelGet[0] && data[1] == kModelOption &&
           (data[2] & 0x1F) == 0;
}

bool viaLink(int32_t link, const aPacket* request)
{
    if (aLink_PutPacket(link, request) != aErrNone)
        return false;
    aPacket* reply = aLink_AwaitFirst(link, isModelReply, nullptr, 1000);
    const bool ok = reply != nullptr;
    aPacket_Destroy(&reply);
    return ok;
}

bool viaSocket(int fd)
{
    const std::uint8_t wire[] = {kAddress, sizeof kModelGet, kModelGet[0], kModelGet[1], kModelGet[2]};
    std::uint8_t reply[kReplyWire];
    return sendAll(fd, wire, sizeof wire) && receiveAll(fd, reply, sizeof reply) && reply[0] == kAddress &&
           reply[1] == 4 && reply[2] == kModelGet[0] && reply[3] == kModelOption;
}

struct Summary {
    double min, median, p90, p99, mean;
};

Summary summarise(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    double sum = 0;
    for (double v : us)
        sum += v;
    return {us.front(), at(0.5), at(0.9), at(0.99), sum / double(us.size())};
}

void print(const char* what, const Summary& s)
{
    std::printf("%-26s min %6.1f  median %6.1f  p90 %6.1f  p99 %7.1f  mean %6.1f us\n", what, s.min, s.median,
                s.p90, s.p99, s.mean);
}

}  // namespace

int main(int argc, char** argv)
{
    if (helpWanted(argc, argv, kUsage))
        return 0;
    std::string value;
    const int count = option(argc, argv, "--count", value) ? std::atoi(value.c_str()) : 10000;
    const double goal = option(argc, argv, "--goal", value) ? std::atof(value.c_str()) : 1.3;
    if (count <= 0 || goal <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    ChildModule module;
    if (!module.ok()) {
        std::fprintf(stderr, "link_bench_request: simulator did not start\n");
        return 1;
    }
    int32_t link = module.connect(false);
    const int fd = connectRaw(module.twinPort());
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof kModelGet, kModelGet);
    if (link == 0 || fd < 0 || request == nullptr) {
        std::fprintf(stderr, "link_bench_request: no link or no socket to the simulated module\n");
        return 1;
    }
    for (int i = 0; i < 200; ++i) {
        if (!viaLink(link, request) || !viaSocket(fd)) {
            std::fprintf(stderr, "link_bench_request: warm-up request %d was not answered\n", i);
            return 1;
        }
    }

    std::vector<double> linkUs, socketUs;
    linkUs.reserve(size_t(count));
    socketUs.reserve(size_t(count));
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        std::uint64_t start = nowNs();
        ok = viaLink(link, request);
        linkUs.push_back(double(nowNs() - start) / 1000.0);
        start = nowNs();
        ok = ok && viaSocket(fd);
        socketUs.push_back(double(nowNs() - start) / 1000.0);
    }
    aPacket_Destroy(&request);
    ::close(fd);
    aLink_Destroy(&link);
    if (!ok) {
        std::fprintf(stderr, "link_bench_request: request %zu was not answered\n", linkUs.size());
        return 1;
    }
    const Summary viaLinkSummary = summarise(linkUs), viaSocketSummary = summarise(socketUs);
    std::printf("UEI get, %d of each, interleaved over TCP loopback\n", count);
    print("through the link", viaLinkSummary);
    print("raw socket ping-pong", viaSocketSummary);
    const double ratio = viaLinkSummary.median / viaSocketSummary.median;
    std::printf("link / socket at the median: %.2fx (goal <= %.2fx) %s\n", ratio, goal,
                ratio <= goal ? "ok" : "OVER");
    return ratio <= goal ? 0 : 2;
}
