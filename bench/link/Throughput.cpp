// Host-to-module throughput over TCP loopback: packets through the link with
// pooled output off and on, next to the same bytes sent with plain send() on
// a socket of the same kind. The simulated module takes the packets without
// answering; after every batch one echo makes sure all of it has arrived (and
// keeps the link's output queue well below its capacity).
//   link_bench_throughput [--packets=N] [--data=1..28] [--batch=N] [--repeat=N]
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

struct Result {
    double seconds = 0;
    double cpuShare = 0;
    bool ok = false;
};

// The module answers a packet whose second byte asks for a get or a set (bit
// 6 or 7) as a UEI request; these bytes ask for neither.
std::vector<std::uint8_t> sinkPayload(int dataLength)
{
    return std::vector<std::uint8_t>(size_t(dataLength - 1), 0x15);
}

Result viaLink(const ChildModule& module, bool pooled, int packets, int dataLength, int batch)
{
    Result result;
    int32_t link = module.connect(false);
    if (link == 0 || !roundTrip(link, 0))
        return result;
    aLink_EnablePooledPackets(link, pooled);
    aPacket* packet = makePacket(kCmdSink, sinkPayload(dataLength));
    const std::uint64_t wall0 = nowNs(), cpu0 = cpuNs();
    bool ok = true;
    std::uint8_t sequence = 0;
    for (int sent = 0; sent < packets && ok;) {
        for (int i = 0; i < batch && sent < packets; ++i, ++sent)
            ok = ok && aLink_PutPacket(link, packet) == aErrNone;
        ok = ok && roundTrip(link, ++sequence, 5000);
    }
    const std::uint64_t wall1 = nowNs(), cpu1 = cpuNs();
    aPacket_Destroy(&packet);
    aLink_Destroy(&link);
    result.seconds = double(wall1 - wall0) / 1e9;
    result.cpuShare = 100.0 * double(cpu1 - cpu0) / double(wall1 - wall0);
    result.ok = ok;
    return result;
}

bool rawRoundTrip(int fd, std::uint8_t sequence)
{
    const std::uint8_t request[] = {kAddress, 2, kCmdDebug, sequence};
    if (!sendAll(fd, request, sizeof request))
        return false;
    std::uint8_t reply[4];
    return receiveAll(fd, reply, sizeof reply) && reply[3] == sequence;
}

// blockPackets 1: one send() per packet, as the link does unpooled; more:
// that many packets per send(), as pooling does.
Result viaSocket(const ChildModule& module, int blockPackets, int packets, int dataLength, int batch)
{
    Result result;
    int fd = connectRaw(module.port());
    if (fd < 0)
        return result;
    if (!rawRoundTrip(fd, 0)) {
        ::close(fd);
        return result;
    }
    std::vector<std::uint8_t> wire{kAddress, std::uint8_t(dataLength), kCmdSink};
    const auto payload = sinkPayload(dataLength);
    wire.insert(wire.end(), payload.begin(), payload.end());
    std::vector<std::uint8_t> block;
    for (int i = 0; i < blockPackets; ++i)
        block.insert(block.end(), wire.begin(), wire.end());

    const std::uint64_t wall0 = nowNs(), cpu0 = cpuNs();
    bool ok = true;
    std::uint8_t sequence = 0;
    for (int sent = 0; sent < packets && ok;) {
        int inBatch = 0;
        while (inBatch < batch && sent < packets && ok) {
            int n = std::min({blockPackets, batch - inBatch, packets - sent});
            ok = sendAll(fd, block.data(), wire.size() * size_t(n));
            inBatch += n;
            sent += n;
        }
        ok = ok && rawRoundTrip(fd, ++sequence);
    }
    const std::uint64_t wall1 = nowNs(), cpu1 = cpuNs();
    ::close(fd);
    result.seconds = double(wall1 - wall0) / 1e9;
    result.cpuShare = 100.0 * double(cpu1 - cpu0) / double(wall1 - wall0);
    result.ok = ok;
    return result;
}

// Runs one way repeat times and prints the median and the best run; the
// machine is shared, so the best run is the one least disturbed.
template <typename Run>
bool measure(const char* what, int repeat, int packets, int dataLength, Run run)
{
    std::vector<double> seconds;
    double cpuShare = 0;
    for (int i = 0; i < repeat; ++i) {
        const Result r = run();
        if (!r.ok) {
            std::printf("%-34s FAILED\n", what);
            return false;
        }
        seconds.push_back(r.seconds);
        cpuShare += r.cpuShare / repeat;
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2], best = seconds.front();
    const double bytes = double(packets) * double(dataLength + 2);
    std::printf("%-34s median %7.3f s %9.0f packets/s %7.2f MB/s | best %7.2f MB/s | host CPU %5.1f %%\n",
                what, median, double(packets) / median, bytes / median / 1e6, bytes / best / 1e6,
                cpuShare);
    return true;
}

}  // namespace

static const char* const kUsage =
    "usage: link_bench_throughput [--packets=N] [--data=1..28] [--batch=N] [--repeat=N]\n"
    "  --packets (default 1000000) packets of --data bytes (default 28) to the\n"
    "  simulated module over TCP loopback, through the link with pooled output\n"
    "  off and on, and with plain send() one packet and one block per call; an\n"
    "  echo after every --batch (default 500, at most 900). Each way --repeat\n"
    "  times (default 3); prints median and best rate and the host's CPU share.\n"
    "  Exit code 1 when a way failed, 2 for bad options.\n";

int main(int argc, char** argv)
{
    if (helpWanted(argc, argv, kUsage))
        return 0;
    std::string value;
    const int packets = option(argc, argv, "--packets", value) ? std::atoi(value.c_str()) : 1000000;
    const int dataLength = option(argc, argv, "--data", value) ? std::atoi(value.c_str()) : 28;
    const int batch = option(argc, argv, "--batch", value) ? std::atoi(value.c_str()) : 500;
    const int repeat = option(argc, argv, "--repeat", value) ? std::atoi(value.c_str()) : 3;
    if (packets <= 0 || dataLength < 1 || dataLength > 28 || batch <= 0 || batch > 900 ||
        repeat <= 0) {
        std::fprintf(stderr, "link_bench_throughput: bad arguments\n");
        return 2;
    }
    ChildModule module;
    if (!module.ok()) {
        std::fprintf(stderr, "link_bench_throughput: simulator did not start\n");
        return 1;
    }
    std::printf("%d packets of %d data bytes (%d on the wire), echo barrier every %d\n", packets,
                dataLength, dataLength + 2, batch);
    const int perBlock = 4096 / (dataLength + 2);
    const std::string blockLabel = "send(), " + std::to_string(perBlock) + " packets per call";
    bool ok = measure("link, pooled off", repeat, packets, dataLength,
                      [&] { return viaLink(module, false, packets, dataLength, batch); });
    ok = measure("link, pooled on", repeat, packets, dataLength,
                 [&] { return viaLink(module, true, packets, dataLength, batch); }) && ok;
    ok = measure("send(), one packet per call", repeat, packets, dataLength,
                 [&] { return viaSocket(module, 1, packets, dataLength, batch); }) && ok;
    ok = measure(blockLabel.c_str(), repeat, packets, dataLength,
                 [&] { return viaSocket(module, perBlock, packets, dataLength, batch); }) && ok;
    return ok ? 0 : 1;
}
