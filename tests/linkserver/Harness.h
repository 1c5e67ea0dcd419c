// What the link server suites share: a private network namespace for the
// whole test process, a simulated module served by a link server in this
// process, client processes, and packet helpers.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Background.h"
#include "ModsimHarness.h"
#include "aLink.h"

namespace srvtest {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kAddress = linkmodsim::kAddress;
constexpr std::uint32_t kSerial = linkmodsim::kSerial;
constexpr std::uint8_t kCmdDebug = 23;

// True once main() has moved this process into a network namespace of its
// own; every suite skips otherwise, so no discovery traffic or fixed port is
// ever used outside one.
bool Isolated();
const std::string& WhyNotIsolated();
#define REQUIRE_NAMESPACE()                                  \
    do {                                                     \
        if (!srvtest::Isolated())                            \
            GTEST_SKIP() << srvtest::WhyNotIsolated();       \
    } while (0)

inline std::uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// The Tarvelin directory whose key store this test process and its probes
// use (never the user's own); the probes find it in this variable.
const std::string& KeyStore();
constexpr const char* kKeyStoreVariable = "LINKSERVER_TEST_KEYS";

// A simulated module on TCP, its link wrapped in a link server; client is the
// server's own client link. Destroying client takes the server and the
// module's link down.
struct ServedModule {
    explicit ServedModule(modsim::ModuleConfig config = {}, bool localOnly = true,
                          std::uint32_t networkInterface = Loopback());
    ~ServedModule();
    bool ok() const { return client != 0 && port != 0; }

    linkmodsim::TcpModule module;
    int32_t client = 0;
    std::uint16_t port = 0;
    std::uint32_t networkInterface = 0;
};

// A new client link to the server on this host; 0 when it does not run.
int32_t Connect(std::uint16_t port);

// A client that speaks raw frames to a server, as a foreign or broken program
// could; receive waits up to a second.
class RawClient {
public:
    explicit RawClient(std::uint16_t port, const std::string& host = "127.0.0.1");
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    void send(const Bytes& frame);
    Bytes receive();
    void* socket() const;

private:
    struct Socket;
    std::unique_ptr<Socket> socket_;
};

// A packet in its wire form: address, length, data.
Bytes Frame(std::uint8_t address, const Bytes& data);
// Milliseconds from start until now.
long long MsSince(std::chrono::steady_clock::time_point start);

// A byte-array set to command kCmdSet, packet by packet: header, chunk bytes,
// trailer (continue flag, sequence).
constexpr std::uint8_t kCmdSet = 0x70;
Bytes SetPacket(std::uint8_t sequence, bool more, std::size_t chunk = 24);

// The commands of the set and echo packets in the order they reach the
// module; the module answers each echo and the last packet of each set.
struct Arrivals {
    std::mutex mutex;
    std::vector<std::uint8_t> commands;
    void add(std::uint8_t command)
    {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(command);
    }
};
std::shared_ptr<Arrivals> RecordArrivals(linkmodsim::TcpModule& module);

// Puts one packet (address, data) on the link.
bool Put(int32_t link, std::uint8_t address, const Bytes& data);
// The next incoming packet as address followed by data; empty on timeout.
Bytes Next(int32_t link, unsigned long ms = 1000);
// An echo (command 23) with payload, and its expected answer.
Bytes Echo(const Bytes& payload);
Bytes EchoAnswer(const Bytes& payload);
// Sends an echo and checks that exactly its answer comes next.
bool EchoRoundTrip(int32_t link, const Bytes& payload);

// The probe program of these suites (Probe.cpp) and its wall-clock start time
// argument a little ahead of now.
std::string ProbePath();
std::string StartSoon(int ms = 700);
std::unique_ptr<testsupport::BackgroundProcess> Probe(const std::vector<std::string>& args);
// The last line a probe printed before it ended (empty when it did not end in time).
std::string LastLine(testsupport::BackgroundProcess& probe, int timeoutMs = 30000);

// Runs body with the process's standard output going to a file; returns
// what was printed meanwhile (the link core's trace lines).
std::string CaptureStdout(const std::function<void()>& body);

}  // namespace srvtest
