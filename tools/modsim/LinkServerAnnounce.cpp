#include "LinkServerAnnounce.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <czmq.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace modsim {

namespace {
constexpr std::uint16_t kRequestBase = 9850;
constexpr std::uint16_t kReplyBase = 9950;
constexpr int kPairs = 50;
constexpr std::uint8_t kRequest[4] = {0xBA, 0xDC, 0xCD, 0xAB};
}  // namespace

bool LocalServerAnswer::start(std::string* error) {
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    in_addr group{};
    ::inet_pton(AF_INET, "224.0.0.7", &group);
    for (int k = 0; k < kPairs && fd_ < 0; ++k) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(kRequestBase + k));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            continue;
        }
        ip_mreq m{};
        m.imr_multiaddr = group;
        m.imr_interface = lo;
        const unsigned char ttl = 1, loop = 1;
        if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0 ||
            ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo) != 0) {
            if (error) *error = std::string("join 224.0.0.7: ") + std::strerror(errno);
            ::close(fd);
            return false;
        }
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        fd_ = fd;
        pair_ = k;
    }
    if (fd_ < 0) {
        if (error) *error = "no free request port";
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void LocalServerAnswer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void LocalServerAnswer::run() {
    const auto spec = encodeLinkSpec(spec_);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(kReplyBase + pair_));
    ::inet_pton(AF_INET, "224.0.0.7", &to.sin_addr);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        std::uint8_t buf[64];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n != 4 || std::memcmp(buf, kRequest, 4) != 0) continue;
        if (::sendto(fd_, spec.data(), spec.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            ssize_t(spec.size()))
            ++answered_;
    }
}

bool BeaconAnswer::start(const std::string& interfaceAddress, std::string* error) {
    zsys_set_interface(interfaceAddress.c_str());
    zactor_t* actor = zactor_new(zbeacon, nullptr);
    if (!actor) {
        if (error) *error = "beacon actor";
        return false;
    }
    zsock_send(actor, "si", "CONFIGURE", 8585);
    char* host = zstr_recv(actor);
    if (!host || !*host) {
        zstr_free(&host);
        zactor_destroy(&actor);
        if (error) *error = "beacon cannot use interface " + interfaceAddress;
        return false;
    }
    zstr_free(&host);
    const auto spec = encodeLinkSpec(spec_);
    zsock_send(actor, "sbi", "PUBLISH", spec.data(), spec.size(), 100);
    beacon_ = actor;
    return true;
}

void BeaconAnswer::stop() {
    if (!beacon_) return;
    zactor_t* actor = static_cast<zactor_t*>(beacon_);
    zstr_sendx(actor, "SILENCE", nullptr);
    zactor_destroy(&actor);
    beacon_ = nullptr;
}

}  // namespace modsim
