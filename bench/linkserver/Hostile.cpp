// What hostile clients make a link server spend: the server (a simulated
// module and its served link) runs in a child process, whose resident memory
// (now and at its peak, from /proc) is read before and after each case, while
// a well-behaved client keeps asking for echoes and the slowest answer is
// noted. The cases: one message of many one-byte parts, one huge frame, and
// clients that enable streaming and never read.
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ServedModule.h"

using namespace srvbench;

namespace {

const char* kUsage =
    "usage: linkserver_bench_hostile [--parts=2000000] [--megabytes=256] [--streamers=50]\n"
    "                                [--seconds=6]\n"
    "A link server in a child process (a simulated module streaming 1000 samples/s);\n"
    "from this process: one message of --parts one-byte parts, one frame of\n"
    "--megabytes, and --streamers clients that enable streaming and never read for\n"
    "--seconds. Prints the server's resident memory before and after each case and its\n"
    "peak, and the slowest echo a well-behaved client got meanwhile. Exit code 1 when\n"
    "the well-behaved client lost an answer or the server's peak grew by more than\n"
    "200 MB in a case, 2 for bad options.\n";

constexpr double kGrowthLimitMb = 200.0;

zsock_t* rawClient(std::uint16_t port)
{
    zsock_t* socket = zsock_new(ZMQ_DEALER);
    if (socket != nullptr)
        zsock_connect(socket, "tcp://127.0.0.1:%u", unsigned(port));
    return socket;
}

// Lets the message library put everything queued on the wire, then closes.
void drain(zsock_t*& socket, int ms)
{
    zsock_set_linger(socket, ms);
    zsock_destroy(&socket);
}

// The well-behaved client: echoes one after the other while a case runs.
struct Watch {
    int32_t link = 0;
    std::uint8_t sequence = 0;
    double slowestMs = 0;
    int lost = 0;
    void once()
    {
        const std::uint64_t start = nowNs();
        if (roundTrip(link, ++sequence, 3000))
            slowestMs = std::max(slowestMs, double(nowNs() - start) / 1e6);
        else
            ++lost;
    }
    void during(std::chrono::milliseconds span)
    {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            once();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
};

struct Case {
    const char* name;
    double before, after, peakBefore, peak, slowestMs;
    int lost;
};

}  // namespace

int main(int argc, char** argv)
{
    if (wantsHelp(argc, argv)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string value;
    const long parts = option(argc, argv, "--parts", value) ? std::atol(value.c_str()) : 2000000;
    const long megabytes = option(argc, argv, "--megabytes", value) ? std::atol(value.c_str()) : 256;
    const int streamers = option(argc, argv, "--streamers", value) ? std::atoi(value.c_str()) : 50;
    const int seconds = option(argc, argv, "--seconds", value) ? std::atoi(value.c_str()) : 6;
    if (parts < 1 || megabytes < 1 || streamers < 1 || seconds < 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    ChildModule server(1000, 50, kSerial, true);
    Watch watch;
    watch.link = server.port() ? aLink_CreateClient(htonl(INADDR_LOOPBACK), server.port(), 0) : 0;
    for (int i = 0; watch.link != 0 && i < 200 && aLink_GetStatus(watch.link) != aLINK_STATUS_RUNNING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (watch.link == 0 || !roundTrip(watch.link, 0, 2000)) {
        std::fprintf(stderr, "linkserver_bench_hostile: no served module\n");
        return 1;
    }
    std::vector<Case> cases;
    auto measure = [&](const char* name, auto body) {
        server.resetPeak();
        Case c{name, server.memoryMb("VmRSS"), 0, server.memoryMb("VmHWM"), 0, 0, 0};
        watch.slowestMs = 0;
        watch.lost = 0;
        body();
        watch.during(std::chrono::milliseconds(500));
        c.after = server.memoryMb("VmRSS");
        c.peak = server.memoryMb("VmHWM");
        c.slowestMs = watch.slowestMs;
        c.lost = watch.lost;
        cases.push_back(c);
    };

    measure("one message of many one-byte parts", [&] {
        zsock_t* socket = rawClient(server.port());
        const std::uint8_t part = 0x17;
        for (long i = 0; i < parts; ++i)
            zmq_send(zsock_resolve(socket), &part, 1, i + 1 < parts ? ZMQ_SNDMORE : 0);
        drain(socket, 10000);
        watch.during(std::chrono::milliseconds(1000));
    });
    measure("one huge frame", [&] {
        const size_t size = size_t(megabytes) << 20;
        void* zeros = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        zsock_t* socket = rawClient(server.port());
        if (zeros != MAP_FAILED && socket != nullptr) {
            zmq_msg_t message;
            zmq_msg_init_data(&message, zeros, size, nullptr, nullptr);
            zmq_msg_send(&message, zsock_resolve(socket), 0);
        }
        watch.during(std::chrono::milliseconds(1000));
        // The library may still read the pages: they stay mapped to the end.
        drain(socket, 0);
    });
    measure("clients that stream and never read", [&] {
        const std::uint8_t enable[] = {kAddress, 7, 93, 0x81, 0x20, kAddress, 3, 27, 0};
        std::vector<zsock_t*> sockets;
        for (int i = 0; i < streamers; ++i) {
            zsock_t* socket = zsock_new(ZMQ_DEALER);
            zsock_set_rcvhwm(socket, 4);
            zsock_set_rcvbuf(socket, 4096);
            zsock_connect(socket, "tcp://127.0.0.1:%u", unsigned(server.port()));
            zmq_send(zsock_resolve(socket), enable, sizeof enable, 0);
            sockets.push_back(socket);
        }
        watch.during(std::chrono::seconds(seconds));
        for (zsock_t*& socket : sockets)
            zsock_destroy(&socket);
    });
    aLink_Destroy(&watch.link);

    std::printf("parts %ld, frame %ld MB, %d streaming clients for %d s\n", parts, megabytes, streamers, seconds);
    std::printf("%-38s %10s %10s %12s %13s\n", "case", "RSS before", "RSS after", "peak growth", "slowest echo");
    bool failed = false;
    for (const Case& c : cases) {
        const double growth = c.peak - c.peakBefore;
        std::printf("%-38s %7.1f MB %7.1f MB %9.1f MB %10.1f ms%s\n", c.name, c.before, c.after, growth,
                    c.slowestMs, c.lost ? "  (answers lost)" : "");
        if (c.lost > 0 || growth > kGrowthLimitMb) {
            failed = true;
            std::fprintf(stderr, "linkserver_bench_hostile: %s: %s\n", c.name,
                         c.lost ? "the well-behaved client lost answers" : "the server's peak grew past 200 MB");
        }
    }
    return failed ? 1 : 0;
}
