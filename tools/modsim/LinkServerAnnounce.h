// Makes the module findable the way a link server is: answers the local
// server query (group 224.0.0.7 on loopback, request port 9850+k, reply port
// 9950+k) and publishes its link specifier as a beacon on UDP 8585.
#pragma once

#include "LinkSpec.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace modsim {

class LocalServerAnswer {
public:
    explicit LocalServerAnswer(LinkSpecFields spec) : spec_(spec) {}
    ~LocalServerAnswer() { stop(); }
    LocalServerAnswer(const LocalServerAnswer&) = delete;
    LocalServerAnswer& operator=(const LocalServerAnswer&) = delete;

    // Binds the first free request port of the 50 pairs.
    bool start(std::string* error = nullptr);
    void stop();
    int pair() const { return pair_; }
    unsigned answered() const { return answered_; }

private:
    void run();
    LinkSpecFields spec_;
    int fd_ = -1;
    int pair_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> answered_{0};
    std::thread thread_;
};

class BeaconAnswer {
public:
    explicit BeaconAnswer(LinkSpecFields spec) : spec_(spec) {}
    ~BeaconAnswer() { stop(); }
    BeaconAnswer(const BeaconAnswer&) = delete;
    BeaconAnswer& operator=(const BeaconAnswer&) = delete;

    bool start(const std::string& interfaceAddress, std::string* error = nullptr);
    void stop();

private:
    LinkSpecFields spec_;
    void* beacon_ = nullptr;  // zactor_t
};

}  // namespace modsim
