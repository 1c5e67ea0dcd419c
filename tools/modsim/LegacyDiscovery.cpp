#include "LegacyDiscovery.h"

#include "LinkSpec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace modsim {

bool LegacyDiscovery::start(const std::string& interfaceAddress, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return false;
    };
    in_addr ifaddr{};
    if (::inet_pton(AF_INET, interfaceAddress.c_str(), &ifaddr) != 1) {
        errno = EINVAL;
        return fail("interface address");
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail("socket");
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kQueryPort);
    ::inet_pton(AF_INET, "232.2.2.2", &a.sin_addr);  // only the group's datagrams
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail("bind");
    ip_mreq m{};
    m.imr_multiaddr = a.sin_addr;
    m.imr_interface = ifaddr;
    if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) return fail("join 232.2.2.2");
    ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr);
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void LegacyDiscovery::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void LegacyDiscovery::run() {
    const auto reply = encodeLegacyReply(answer_.address, answer_.port, answer_.serial, answer_.model);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        std::uint8_t buf[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0 || !isLegacyQuery(buf, std::size_t(n))) continue;
        from.sin_port = htons(kReplyPort);
        for (unsigned waited = 0; waited < answer_.delayMs && !stop_; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from) ==
            ssize_t(reply.size()))
            ++answered_;
    }
}

}  // namespace modsim
