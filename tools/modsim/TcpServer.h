// The module on a TCP port, one host at a time; further hosts wait in the
// listen queue until the current one leaves. When the module restarts (its
// loader starts, it reboots) the server drops the host, closes the port so
// that connections are refused, and opens the same address and port again
// after the module's pause; a module gone for good never comes back.
#pragma once

#include "ModuleSession.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace modsim {

class TcpServer {
public:
    explicit TcpServer(ModuleSession& session) : session_(session) {}
    ~TcpServer() { stop(); }
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Port 0 picks a free one; port() tells which. The first form binds 127.0.0.1.
    bool start(std::uint16_t port, std::string* error = nullptr);
    // bindAddress: a dotted IPv4 address ("0.0.0.0" for every interface).
    bool start(const std::string& bindAddress, std::uint16_t port, std::string* error = nullptr);
    void stop();
    std::uint16_t port() const { return port_; }
    unsigned connections() const { return connections_; }
    unsigned restarts() const { return restarts_; }
    bool listening() const { return listening_; }
    bool gone() const { return gone_; }
    // Called on the server's thread when the module goes for good; set before start().
    void onGone(std::function<void(const RestartRequest&)> callback) { onGone_ = std::move(callback); }

private:
    bool listen(std::string* error);
    void closeListener();
    void run();

    ModuleSession& session_;
    std::string bindAddress_ = "127.0.0.1";
    int listenFd_ = -1;
    std::atomic<std::uint16_t> port_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> listening_{false};
    std::atomic<bool> gone_{false};
    std::atomic<unsigned> connections_{0};
    std::atomic<unsigned> restarts_{0};
    std::function<void(const RestartRequest&)> onGone_;
    std::thread thread_;
};

}  // namespace modsim
