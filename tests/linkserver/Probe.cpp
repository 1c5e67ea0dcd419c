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
// START_MS is a CLOCK_REALTIME time in milliseconds to begin at, so that the
// probes of one test run at the same time.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aDiscovery.h"
#include "aLink.h"
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

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "gets" && argc == 6)
        return gets(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]), uint8_t(std::atoi(argv[4])),
                    std::atoll(argv[5]));
    if (mode == "stream" && argc == 6)
        return stream(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]), std::atoll(argv[4]),
                      std::string(argv[5]) == "enable");
    if (mode == "find" && argc == 3)
        return find(argv[2]);
    std::fprintf(stderr, "usage: see the comment at the top of Probe.cpp\n");
    return 2;
}
