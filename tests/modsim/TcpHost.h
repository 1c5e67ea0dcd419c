// A minimal host on a TCP link to a simulated module, written from the wire
// format alone: packets out, packets in, and the reconnects a module's
// restarts call for. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace modsimtest {

class TcpHost {
public:
    struct Reply {
        std::uint8_t address = 0;
        std::vector<std::uint8_t> data;
    };

    explicit TcpHost(std::uint16_t port, std::uint32_t ipv4 = INADDR_LOOPBACK) : port_(port), ipv4_(ipv4) {}
    ~TcpHost() { close(); }
    TcpHost(const TcpHost&) = delete;
    TcpHost& operator=(const TcpHost&) = delete;

    // One attempt; false with errno set (ECONNREFUSED while the module is away).
    bool connect() {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = htonl(ipv4_);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            const int e = errno;
            close();
            errno = e;
            return false;
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        in_.clear();
        closed_ = false;
    }

    bool send(std::uint8_t address, const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> w{address, std::uint8_t(data.size())};
        w.insert(w.end(), data.begin(), data.end());
        return fd_ >= 0 && ::send(fd_, w.data(), w.size(), MSG_NOSIGNAL) == ssize_t(w.size());
    }

    // The next packet, or nothing when none came in time or the module closed the link.
    std::optional<Reply> next(int timeoutMs = 2000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            if (in_.size() >= 2 && in_.size() >= std::size_t(in_[1]) + 2) {
                Reply r{in_[0], std::vector<std::uint8_t>(in_.begin() + 2, in_.begin() + 2 + in_[1])};
                in_.erase(in_.begin(), in_.begin() + 2 + in_[1]);
                return r;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (fd_ < 0 || closed_ || left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            std::uint8_t b[4096];
            const ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n > 0) {
                in_.insert(in_.end(), b, b + n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                closed_ = true;
            }
        }
    }

    // True once the module closed the connection (whatever it still sent is dropped).
    bool waitClosed(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!closed_ && std::chrono::steady_clock::now() < end) next(10);
        return closed_;
    }

    // Connects again after a restart: tries every 10 ms until the module
    // answers a sync request. Returns the milliseconds that took (-1: never),
    // counting the refused attempts.
    int reconnect(int timeoutMs, unsigned* refused = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (connect()) {
                if (send(0xAD, {})) {
                    const std::optional<Reply> r = next(300);
                    if (r && r->data.empty())
                        return int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
                }
                close();
            } else if (errno == ECONNREFUSED && refused) {
                ++*refused;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    std::uint16_t port_;
    std::uint32_t ipv4_;
    int fd_ = -1;
    std::vector<std::uint8_t> in_;
    bool closed_ = false;
};

}  // namespace modsimtest
