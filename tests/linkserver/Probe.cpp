// A link server's client in a process of its own, for the multi-process
// suites. It speaks through the link engine only and checks every answer
// itself; its last line says what it saw.
//
//   linkserver_probe gets PORT COUNT TAG START_MS
//       COUNT echo and serial-number exchanges, each answer checked against
//       its own request; "ok COUNT" or "fail ...".
//   linkserver_probe stream PORT MS START_MS enable|quiet
//       enable: asks for temperature samples and counts what arrives in MS;
//       quiet: echoes for MS and counts samples that reach it anyway;
//       "samples N echoes M".
//   linkserver_probe find local|IFADDR
//       runs the network-client discovery; one "spec TYPE SERIAL ADDRESS MODEL
//       IP PORT" line per server found, then "found N".
//   linkserver_probe parts PORT COUNT
//       a raw client sends one message of COUNT one-byte parts; "sent".
//   linkserver_probe huge PORT MEGABYTES
//       a raw client sends one frame of that size (untouched zero pages, so
//       this process does not hold it); "sent".
//   linkserver_probe streamers PORT COUNT MS
//       COUNT raw clients enable streaming and never read, for MS; "done".
// START_MS is a CLOCK_REALTIME time in milliseconds to begin at, so that the
// probes of one test run at the same time.
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aDiscovery.h"
#include "aLink.h"
#include "aServerKeys.h"
#include "aUEI.h"

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint32_t kSerial = 0x5EED0001;
constexpr uint8_t kCmdDebug = 23;
constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kOptionSerial = 9;

void waitUntilWallMs(long long startMs)
{
    using namespace std::chrono;
    const auto start = system_clock::time_point(milliseconds(startMs));
    if (start > system_clock::now())
        std::this_thread::sleep_until(start);
}

bool put(int32_t link, const std::vector<uint8_t>& data)
{
    aPacket* packet = aPacket_CreateWithData(kAddress, uint8_t(data.size()), data.data());
    const aErr err = packet ? aLink_PutPacket(link, packet) : aErrMemory;
    aPacket_Destroy(&packet);
    return err == aErrNone;
}

// The next packet of any kind, as address followed by data; empty on timeout.
std::vector<uint8_t> next(int32_t link, unsigned long ms)
{
    aPacket* packet = aLink_AwaitPacket(link, ms);
    if (packet == nullptr)
        return {};
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    std::vector<uint8_t> out{address};
    out.insert(out.end(), aPacket_GetData(packet), aPacket_GetData(packet) + length);
    const bool sample = aUEI_isStreamPacket(packet);
    aPacket_Destroy(&packet);
    if (sample)
        out.insert(out.begin(), 0xFF);  // marks a stream sample for the caller
    return out;
}

int32_t open(uint16_t port)
{
    const int32_t link = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    for (int i = 0; link != 0 && i < 200 && aLink_GetStatus(link) != aLINK_STATUS_RUNNING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return link;
}

int gets(uint16_t port, int count, uint8_t tag, long long startMs)
{
    int32_t link = open(port);
    if (link == 0) {
        std::printf("fail no link\n");
        return 1;
    }
    waitUntilWallMs(startMs);
    std::string failure;
    for (int i = 0; i < count && failure.empty(); ++i) {
        const std::vector<uint8_t> echo{kCmdDebug, tag, uint8_t(i >> 8), uint8_t(i), 0x5A};
        std::vector<uint8_t> want{kAddress};
        want.insert(want.end(), echo.begin(), echo.end());
        if (!put(link, echo) || next(link, 1000) != want) {
            failure = "echo " + std::to_string(i);
            break;
        }
        if (!put(link, {kCmdSystem, 0x40 | kOptionSerial, 0x20})) {
            failure = "get " + std::to_string(i) + " not sent";
            break;
        }
        const std::vector<uint8_t> reply = next(link, 1000);
        if (reply.size() != 8 || reply[0] != kAddress || reply[1] != kCmdSystem ||
            (reply[2] & 0x3F) != kOptionSerial || aUEI_RetrieveInt(&reply[4]) != kSerial)
            failure = "serial number " + std::to_string(i) + " (" + std::to_string(reply.size()) +
                      " bytes)";
    }
    aLink_Destroy(&link);
    if (!failure.empty()) {
        std::printf("fail %s\n", failure.c_str());
        return 1;
    }
    std::printf("ok %d\n", count);
    return 0;
}

int stream(uint16_t port, int ms, long long startMs, bool enable)
{
    int32_t link = open(port);
    if (link == 0) {
        std::printf("fail no link\n");
        return 1;
    }
    waitUntilWallMs(startMs);
    int samples = 0, echoes = 0;
    if (enable) {
        // Class 93 option 1 set, index 0, key: module 2, class 3, option 27, index 0.
        if (!put(link, {93, 0x81, 0x20, kAddress, kCmdSystem, 27, 0})) {
            std::printf("fail enable not sent\n");
            return 1;
        }
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t sequence = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (!enable && put(link, {kCmdDebug, sequence++}))
            ++echoes;
        std::vector<uint8_t> got;
        while (std::chrono::steady_clock::now() < end && !(got = next(link, enable ? 50 : 20)).empty())
            if (got[0] == 0xFF)
                ++samples;
    }
    aLink_Destroy(&link);
    std::printf("samples %d echoes %d\n", samples, echoes);
    return 0;
}

bool printSpec(const linkSpec* spec, bool* found, void*)
{
    char ip[INET_ADDRSTRLEN] = {};
    in_addr address{spec->t.ip.ip_address};
    inet_ntop(AF_INET, &address, ip, sizeof ip);
    std::printf("spec %d %08X %u %u %s %u\n", int(spec->type), spec->serial_num, spec->module,
                spec->model, ip, spec->t.ip.ip_port);
    *found = true;
    return true;
}

int find(const std::string& where)
{
    uint32_t address = 0;
    if (where != "local" && inet_pton(AF_INET, where.c_str(), &address) != 1)
        return 2;
    const unsigned count = aDiscovery_EnumerateModules(AETHER_FIRST, printSpec, nullptr, address);
    std::printf("found %u\n", count);
    return 0;
}

zsock_t* rawClient(uint16_t port)
{
    zsock_t* socket = zsock_new(ZMQ_DEALER);
    if (socket != nullptr)
        zsock_connect(socket, "tcp://127.0.0.1:%u", unsigned(port));
    return socket;
}

// Lets the library's I/O thread put everything queued on the wire.
void drain(zsock_t* socket, int ms)
{
    zsock_set_linger(socket, ms);
    zsock_destroy(&socket);
}

int parts(uint16_t port, long count)
{
    zsock_t* socket = rawClient(port);
    const uint8_t byte = 0x17;
    for (long i = 0; socket != nullptr && i < count; ++i)
        zmq_send(zsock_resolve(socket), &byte, 1, i + 1 < count ? ZMQ_SNDMORE : 0);
    drain(socket, 5000);
    std::printf("sent\n");
    return 0;
}

int huge(uint16_t port, long megabytes)
{
    const size_t size = size_t(megabytes) << 20;
    void* zeros = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    zsock_t* socket = rawClient(port);
    if (zeros == MAP_FAILED || socket == nullptr) {
        std::printf("fail\n");
        return 1;
    }
    zmq_msg_t message;
    zmq_msg_init_data(&message, zeros, size, nullptr, nullptr);
    zmq_msg_send(&message, zsock_resolve(socket), 0);
    // The library reads the pages until the frame is out (or refused): they
    // stay mapped until the process ends.
    drain(socket, 10000);
    std::printf("sent\n");
    return 0;
}

int streamers(uint16_t port, int count, int ms)
{
    std::vector<zsock_t*> sockets;
    const uint8_t enable[] = {kAddress, 7, 93, 0x81, 0x20, kAddress, kCmdSystem, 27, 0};
    for (int i = 0; i < count; ++i) {
        zsock_t* socket = zsock_new(ZMQ_DEALER);
        if (socket == nullptr)
            break;
        zsock_set_rcvhwm(socket, 4);
        zsock_set_rcvbuf(socket, 4096);
        zsock_connect(socket, "tcp://127.0.0.1:%u", unsigned(port));
        zmq_send(zsock_resolve(socket), enable, sizeof enable, 0);
        sockets.push_back(socket);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    for (zsock_t*& socket : sockets)
        zsock_destroy(&socket);
    std::printf("done\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The suite's own key store, never the user's.
    aServerKeys_SetStore(std::getenv("LINKSERVER_TEST_KEYS"));
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "gets" && argc == 6)
        return gets(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]), uint8_t(std::atoi(argv[4])),
                    std::atoll(argv[5]));
    if (mode == "stream" && argc == 6)
        return stream(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]), std::atoll(argv[4]),
                      std::string(argv[5]) == "enable");
    if (mode == "find" && argc == 3)
        return find(argv[2]);
    if (mode == "parts" && argc == 4)
        return parts(uint16_t(std::atoi(argv[2])), std::atol(argv[3]));
    if (mode == "huge" && argc == 4)
        return huge(uint16_t(std::atoi(argv[2])), std::atol(argv[3]));
    if (mode == "streamers" && argc == 5)
        return streamers(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: see the comment at the top of Probe.cpp\n");
    return 2;
}
