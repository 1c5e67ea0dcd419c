#include "TcpServer.h"

#include "FdPump.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace modsim {

namespace {
// Coming back after a restart: a bind refused now and then (the port is in
// use for a moment) is retried this often, this far apart.
constexpr int kRebindAttempts = 100;
constexpr std::uint32_t kRebindPauseMs = 20;
}  // namespace

bool TcpServer::start(std::uint16_t port, std::string* error) { return start("127.0.0.1", port, error); }

bool TcpServer::start(const std::string& bindAddress, std::uint16_t port, std::string* error) {
    bindAddress_ = bindAddress;
    port_ = port;
    if (!listen(error)) return false;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

bool TcpServer::listen(std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        closeListener();
        return false;
    };
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    if (::inet_pton(AF_INET, bindAddress_.c_str(), &a.sin_addr) != 1) {
        errno = EINVAL;
        return fail("bind address");
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return fail("socket");
    const int one = 1;
    if (::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return fail("SO_REUSEADDR");
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail("bind");
    if (::listen(listenFd_, 4) != 0) return fail("listen");
    socklen_t len = sizeof a;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return fail("getsockname");
    port_ = ntohs(a.sin_port);
    listening_ = true;
    return true;
}

void TcpServer::closeListener() {
    listening_ = false;
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void TcpServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeListener();
}

void TcpServer::run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++connections_;
        session_.connected();
        RestartRequest restart;
        const PumpEnd end = pumpFd(fd, session_, stop_, false, &restart);
        if (end == PumpEnd::Reset) {
            linger l{1, 0};  // close with a reset, not an orderly shutdown
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(fd);
        session_.disconnected();
        if (end != PumpEnd::Restart) continue;

        // Re-enumeration: away, refusing connections, then back on the same port.
        closeListener();
        if (restart.forever) {
            gone_ = true;
            if (onGone_) onGone_(restart);
            return;
        }
        ++restarts_;
        pauseUnlessStopped(restart.pauseMs, stop_);
        bool back = false;
        for (int attempt = 0; attempt < kRebindAttempts && !stop_ && !back; ++attempt) {
            back = listen(nullptr);
            if (!back) pauseUnlessStopped(kRebindPauseMs, stop_);
        }
        if (stop_) return;
        if (!back) {
            std::fprintf(stderr, "modsim: cannot listen on %s:%u again after a restart\n", bindAddress_.c_str(),
                         unsigned(port_));
            gone_ = true;
            return;
        }
    }
}

}  // namespace modsim
