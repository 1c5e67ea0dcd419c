// A minimal HTTP peer on 127.0.0.1 (kernel-chosen port) for the client tests:
// it reads one request per connection, records its target and lets the test's
// handler write whatever bytes it likes back.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer {
public:
    // Called with the connected socket and the request target ("/cgi/u?...").
    using Handler = std::function<void(LoopbackServer& server, int fd, const std::string& target)>;

    explicit LoopbackServer(Handler handler) : handler_(std::move(handler))
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listen_ < 0)
            throw std::runtime_error("socket");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 8) != 0
            || ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ::close(listen_);
            throw std::runtime_error("bind/listen on 127.0.0.1");
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    // Answers every request with this status and body.
    static Handler Replying(int status, std::string body)
    {
        return [status, body](LoopbackServer&, int fd, const std::string&) { SendAll(fd, Reply(status, body)); };
    }

    ~LoopbackServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }

    std::string url(const std::string& path = "/cgi/u") const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> targets()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }
    bool stopping() const { return stop_; }

    static std::string Reply(int status, const std::string& body)
    {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size())
            + "\r\nConnection: close\r\n\r\n" + body;
    }
    static void SendAll(int fd, const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
    }
    // Holds the connection open, sending nothing, until the client gives up
    // or the server is destroyed.
    void HoldUntilClosed(int fd)
    {
        char byte;
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::recv(fd, &byte, 1, 0) <= 0)
                return;
        }
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0)
                continue;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 2000) <= 0)
                    break;
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(n));
            }
            // "GET <target> HTTP/1.1"
            size_t a = request.find(' ');
            size_t b = a == std::string::npos ? a : request.find(' ', a + 1);
            std::string target = b == std::string::npos ? std::string() : request.substr(a + 1, b - a - 1);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                targets_.push_back(target);
            }
            handler_(*this, fd, target);
            ::close(fd);
        }
    }

    Handler handler_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> targets_;
    std::thread thread_;
};
