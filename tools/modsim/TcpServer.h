// The module on a TCP port of 127.0.0.1, one host at a time; further hosts
// wait in the listen queue until the current one leaves.
#pragma once

#include "ModuleSession.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace modsim {

class TcpServer {
public:
    explicit TcpServer(ModuleSession& session) : session_(session) {}
    ~TcpServer() { stop(); }
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Port 0 picks a free one; port() tells which.
    bool start(std::uint16_t port, std::string* error = nullptr);
    void stop();
    std::uint16_t port() const { return port_; }
    unsigned connections() const { return connections_; }

private:
    void run();
    ModuleSession& session_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> connections_{0};
    std::thread thread_;
};

}  // namespace modsim
