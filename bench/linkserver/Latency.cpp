// Request/reply through a link server against the same exchange on a direct
// link, taking turns so that all see the same machine load: a direct link to
// a simulated module, the server's own client link (in this process, as a
// Link with `enabled` talks) to an identical module, and a client link over
// TCP in another process, encrypted as a server on a network interface would
// require.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ServedModule.h"
#include "aServerKeys.h"

using namespace srvbench;

namespace {

const char* kUsage =
    "usage: linkserver_bench_latency [--count=10000] [--clear]\n"
    "One echo request and its answer, in turns on three links: a direct TCP link to a\n"
    "simulated module, a link server's own client link to an identical module, and a\n"
    "client link over TCP from another process (encrypted; --clear: in the clear).\n"
    "Prints median and 99th percentile of each and what the server adds at the median.\n"
    "Goals: at most 100 us added with the own client link, 150 us with the TCP client.\n"
    "Exit code 1 when a goal is missed or a round trip is lost, 2 for bad options.\n";

constexpr double kOwnGoalUs = 100.0;
constexpr double kTcpGoalUs = 150.0;

struct Summary {
    double median, p99;
};

Summary summarise(std::vector<double>& us)
{
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    return {at(0.5), at(0.99)};
}

// The client in another process: told the server's port, then one round trip
// per byte it reads, answering with its duration in nanoseconds (0: lost).
class RemoteClient {
public:
    explicit RemoteClient(const std::string& keys)
    {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(down[1]);
            ::close(up[0]);
            run(down[0], up[1], keys);
        }
        ::close(down[0]);
        ::close(up[1]);
        to_ = down[1];
        from_ = up[0];
    }
    ~RemoteClient()
    {
        if (to_ >= 0)
            ::close(to_);
        if (from_ >= 0)
            ::close(from_);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    // Hands over the port; true once the client link is up and answered.
    bool start(std::uint16_t port, bool encrypted)
    {
        const std::uint8_t message[3] = {std::uint8_t(port >> 8), std::uint8_t(port), std::uint8_t(encrypted)};
        std::uint64_t ready = 0;
        return ::write(to_, message, sizeof message) == 3 && read(ready) && ready == 1;
    }
    // One round trip there; its duration in microseconds, or a negative value.
    double roundTrip(std::uint8_t sequence)
    {
        std::uint64_t ns = 0;
        if (::write(to_, &sequence, 1) != 1 || !read(ns) || ns == 0)
            return -1;
        return double(ns) / 1000.0;
    }

private:
    bool read(std::uint64_t& value) { return ::read(from_, &value, sizeof value) == ssize_t(sizeof value); }

    [[noreturn]] static void run(int in, int out, const std::string& keys)
    {
        std::uint8_t message[3];
        if (::read(in, message, 3) != 3)
            _exit(1);
        aServerKeys_SetStore(keys.c_str());
        aServerKeys_SetEncryptLoopback(message[2] != 0);
        const std::uint16_t port = std::uint16_t(message[0] << 8 | message[1]);
        int32_t link = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
        std::uint64_t ready = 0;
        for (int i = 0; link != 0 && i < 200 && ready == 0; ++i)
            ready = srvbench::roundTrip(link, std::uint8_t(i), 100) ? 1 : 0;
        if (::write(out, &ready, sizeof ready) != ssize_t(sizeof ready))
            _exit(1);
        std::uint8_t sequence = 0;
        while (::read(in, &sequence, 1) == 1) {
            const std::uint64_t start = nowNs();
            const std::uint64_t ns = srvbench::roundTrip(link, sequence) ? nowNs() - start : 0;
            if (::write(out, &ns, sizeof ns) != ssize_t(sizeof ns))
                break;
        }
        aLink_Destroy(&link);
        _exit(0);
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
};

// A key store of the benchmark's own, removed at the end.
struct KeyStore {
    KeyStore()
    {
        char pattern[] = "/tmp/linkserver-bench-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
            path = pattern;
    }
    ~KeyStore()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string path;
};

}  // namespace

int main(int argc, char** argv)
{
    if (wantsHelp(argc, argv)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string value;
    const int count = option(argc, argv, "--count", value) ? std::atoi(value.c_str()) : 10000;
    bool encrypted = true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--clear") == 0)
            encrypted = false;
        else if (std::strncmp(argv[i], "--count=", 8) != 0) {
            std::fprintf(stderr, "linkserver_bench_latency: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
    if (count <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // Every process is forked before any thread starts.
    KeyStore keys;
    ChildModule direct(0, 0, kSerial + 1);
    ChildModule module(0, 0);
    RemoteClient remote(keys.path);
    aServerKeys_SetStore(keys.path.c_str());
    aServerKeys_SetEncryptLoopback(encrypted);
    int32_t local = direct.port() ? aLink_CreateTCPIP(kSerial + 1, htonl(INADDR_LOOPBACK), direct.port()) : 0;
    Served served;
    if (keys.path.empty() || local == 0 || module.port() == 0 || !serve(module.port(), served)) {
        std::fprintf(stderr, "linkserver_bench_latency: no served module\n");
        return 1;
    }
    if (!remote.start(served.port, encrypted)) {
        std::fprintf(stderr, "linkserver_bench_latency: the client in the other process did not come up\n");
        return 1;
    }
    for (int i = 0; i < 200; ++i)
        if (!roundTrip(local, std::uint8_t(i)) || !roundTrip(served.client, std::uint8_t(i)) ||
            remote.roundTrip(std::uint8_t(i)) < 0) {
            std::fprintf(stderr, "linkserver_bench_latency: warm-up round trip %d failed\n", i);
            return 1;
        }
    std::vector<double> us[3];
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < 2; ++k) {
            const int32_t link = k == 0 ? local : served.client;
            const std::uint64_t start = nowNs();
            if (roundTrip(link, std::uint8_t(i)))
                us[k].push_back(double(nowNs() - start) / 1000.0);
            else
                ++lost;
        }
        const double far = remote.roundTrip(std::uint8_t(i));
        if (far >= 0)
            us[2].push_back(far);
        else
            ++lost;
    }
    aLink_Destroy(&local);
    aLink_Destroy(&served.client);
    if (us[0].empty() || us[1].empty() || us[2].empty())
        return 1;
    const Summary d = summarise(us[0]);
    std::printf("%d round trips each (%d lost)\n", count, lost);
    std::printf("direct link:                 median %7.1f us  p99 %7.1f us\n", d.median, d.p99);
    const char* names[3] = {"", "server, own client link:", encrypted ? "server, TCP client (CURVE):" : "server, TCP client (clear):"};
    const double goals[3] = {0, kOwnGoalUs, kTcpGoalUs};
    bool over = false;
    for (int k = 1; k < 3; ++k) {
        const Summary s = summarise(us[k]);
        const double added = s.median - d.median;
        const bool missed = added > goals[k];
        over = over || missed;
        std::printf("%-28s median %7.1f us  p99 %7.1f us  ratio %.2f (median) %.2f (p99), "
                    "adds %.1f us at the median (goal %.0f: %s)\n",
                    names[k], s.median, s.p99, s.median / d.median, s.p99 / d.p99, added, goals[k],
                    missed ? "MISSED" : "met");
    }
    if (over)
        std::fprintf(stderr, "linkserver_bench_latency: a goal was missed (see above)\n");
    if (lost > 0)
        std::fprintf(stderr, "linkserver_bench_latency: %d round trips lost\n", lost);
    return lost == 0 && !over ? 0 : 1;
}
