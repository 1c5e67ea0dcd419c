// Answers the legacy UDP discovery query the way a network-attached module
// does: listens on group 232.2.2.2 port 9888 on one interface and replies to
// the sender's address on port 9889.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace modsim {

struct LegacyAnswer {
    std::uint8_t address = 2;
    std::uint16_t port = 0;  // the module's TCP port
    std::uint32_t serial = 0;
    std::uint8_t model = 0;
    unsigned delayMs = 0;  // a busy module reads the query late: the reply goes this much after it
};

class LegacyDiscovery {
public:
    static constexpr std::uint16_t kQueryPort = 9888;
    static constexpr std::uint16_t kReplyPort = 9889;

    explicit LegacyDiscovery(LegacyAnswer answer) : answer_(answer) {}
    ~LegacyDiscovery() { stop(); }
    LegacyDiscovery(const LegacyDiscovery&) = delete;
    LegacyDiscovery& operator=(const LegacyDiscovery&) = delete;

    // interfaceAddress: dotted IPv4 address of the interface to listen on.
    bool start(const std::string& interfaceAddress, std::string* error = nullptr);
    void stop();
    unsigned answered() const { return answered_; }

private:
    void run();
    LegacyAnswer answer_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> answered_{0};
    std::thread thread_;
};

}  // namespace modsim
