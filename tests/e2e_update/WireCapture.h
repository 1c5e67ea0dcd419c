// What the host and a simulated module said to each other over TCP, read off
// the loopback interface without taking part in it: the connection stays the
// product's own, and the packets seen are the ones the module received.
// Traffic between two addresses of the same namespace always crosses the
// loopback interface, whatever interface holds the addresses.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// One link packet: address, then data (command first).
struct WirePacket {
    std::uint8_t address = 0;
    std::vector<std::uint8_t> data;
};

class WireCapture {
public:
    WireCapture() = default;
    ~WireCapture();
    WireCapture(const WireCapture&) = delete;
    WireCapture& operator=(const WireCapture&) = delete;

    // Captures the TCP connections to port, from their first segment on.
    bool Start(std::uint16_t port, std::string* why);
    // Stops after taking what the kernel still holds, then cuts each
    // connection's two byte streams into link packets.
    void Stop();

    // After Stop: packets in the order sent, connection after connection.
    const std::vector<WirePacket>& fromHost() const { return fromHost_; }
    const std::vector<WirePacket>& fromModule() const { return fromModule_; }
    std::size_t connections() const { return streams_.size(); }
    // "" when every byte was seen and cut cleanly; else what went wrong.
    const std::string& problem() const { return problem_; }

private:
    // One direction of one connection, put back in sequence order.
    struct Stream {
        bool started = false;
        std::uint32_t next = 0;
        std::string bytes;
        std::map<std::uint32_t, std::string> early;  // segments ahead of next
        void add(std::uint32_t seq, const std::string& payload);
    };
    struct Connection {
        Stream toModule, toHost;
    };

    void run();
    void take(const std::uint8_t* ip, std::size_t length);
    void note(const std::string& problem);

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::uint64_t> order_;  // connection keys by first SYN
    std::map<std::uint64_t, Connection> streams_;
    std::vector<WirePacket> fromHost_, fromModule_;
    std::string problem_;
};

// The host's upgrade requests (command 95) to the module at address, in the
// order sent, each named by its value: 0 INIT ... 6 REBOOT; a UEI data set
// counts once, as 10.
std::vector<int> UpgradeRequests(const std::vector<WirePacket>& fromHost, std::uint8_t address);

}  // namespace e2e
