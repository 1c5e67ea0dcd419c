// Discovery answers: the byte layouts, and the UDP exchanges run inside a
// private network namespace (loopback only) so fixed ports never collide.
#include "LegacyDiscovery.h"
#include "LinkServerAnnounce.h"
#include "LinkSpec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

using namespace modsim;

namespace {

constexpr int kSkip = 77;

// Runs body in a child inside a new network namespace with lo up; the
// child's exit code is the body's result (0 passes, kSkip skips).
int inNetworkNamespace(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNET) != 0) ::_exit(kSkip);
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) ::_exit(kSkip);
        ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
        if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) ::_exit(kSkip);
        ::close(s);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

int udpSocket(std::uint16_t bindPort) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(bindPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    return fd;
}

bool sendToGroup(int fd, const char* group, std::uint16_t port, const void* bytes, std::size_t n) {
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    const unsigned char loop = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, group, &to.sin_addr);
    return ::sendto(fd, bytes, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == ssize_t(n);
}

ssize_t receive(int fd, std::uint8_t* buf, std::size_t n, int timeoutMs, sockaddr_in* from = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    socklen_t len = sizeof(sockaddr_in);
    return ::recvfrom(fd, buf, n, 0, reinterpret_cast<sockaddr*>(from), from ? &len : nullptr);
}

}  // namespace

TEST(ModsimDiscovery, LinkSpecLayoutIsLittleEndianWithTheAddressInNetworkOrder) {
    LinkSpecFields f;
    f.type = 4;
    f.serial = 0x0A0B0C0D;
    f.moduleAddress = 6;
    f.routerAddress = 8;
    f.routerSerial = 0x11223344;
    f.model = 19;
    ::inet_pton(AF_INET, "127.0.0.1", &f.ipv4NetworkOrder);
    f.port = 0x12345;  // only the low 16 bits travel
    const auto b = encodeLinkSpec(f);
    const std::uint8_t head[32] = {4, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 6, 0, 0, 0, 8, 0, 0, 0,
                                   0x44, 0x33, 0x22, 0x11, 19, 0, 0, 0, 127, 0, 0, 1, 0x45, 0x23, 0, 0};
    EXPECT_EQ(std::memcmp(b.data(), head, 32), 0);
    for (std::size_t i = 32; i < 128; ++i) EXPECT_EQ(b[i], 0) << i;
    const LinkSpecFields back = decodeLinkSpec(b.data());
    EXPECT_EQ(back.serial, f.serial);
    EXPECT_EQ(back.ipv4NetworkOrder, f.ipv4NetworkOrder);
    EXPECT_EQ(back.port, 0x2345u);
}

TEST(ModsimDiscovery, LegacyReplyLayout) {
    const auto r = encodeLegacyReply(6, 0x1F90, 0xCAFE0102, 23);
    const std::uint8_t want[16] = {0, 6, 0x90, 0x1F, 0x02, 0x01, 0xFE, 0xCA, 0, 0, 0, 0, 23, 0, 0, 0};
    EXPECT_EQ(std::memcmp(r.data(), want, 16), 0);
    std::uint8_t q[16] = {1};
    EXPECT_TRUE(isLegacyQuery(q, 16));
    EXPECT_FALSE(isLegacyQuery(q, 15));
    q[0] = 2;
    EXPECT_FALSE(isLegacyQuery(q, 16));
}

TEST(ModsimDiscovery, LegacyQueryIsAnsweredOnTheReplyPort) {
    const int rc = inNetworkNamespace([] {
        LegacyDiscovery responder(LegacyAnswer{6, 4242, 0xCAFE0102, 23});
        std::string err;
        if (!responder.start("127.0.0.1", &err)) return 10;
        const int listener = udpSocket(LegacyDiscovery::kReplyPort);
        const int sender = udpSocket(0);
        if (listener < 0 || sender < 0) return 11;
        std::uint8_t query[16] = {1};
        std::uint8_t bad[16] = {7};
        if (!sendToGroup(sender, "232.2.2.2", LegacyDiscovery::kQueryPort, bad, 16)) return 12;
        if (!sendToGroup(sender, "232.2.2.2", LegacyDiscovery::kQueryPort, query, 16)) return 12;
        std::uint8_t reply[64];
        sockaddr_in from{};
        if (receive(listener, reply, sizeof reply, 2000, &from) != 16) return 13;
        if (std::memcmp(reply, encodeLegacyReply(6, 4242, 0xCAFE0102, 23).data(), 16) != 0)
            return 14;
        if (receive(listener, reply, sizeof reply, 200) != -1) return 15;  // the bad query got nothing
        return responder.answered() == 1 ? 0 : 16;
    });
    if (rc == kSkip) GTEST_SKIP() << "no network namespaces here";
    EXPECT_EQ(rc, 0);
}

TEST(ModsimDiscovery, LocalServerQueryGetsTheLinkSpec) {
    const int rc = inNetworkNamespace([] {
        LinkSpecFields f;
        f.serial = 0x0000ABCD;
        f.moduleAddress = 6;
        f.model = 19;
        f.ipv4NetworkOrder = htonl(INADDR_LOOPBACK);
        f.port = 5000;
        // Another server already holds the first pair.
        const int taken = udpSocket(0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(9850);
        const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 20;
        LocalServerAnswer server(f);
        std::string err;
        if (!server.start(&err)) return 21;
        if (server.pair() != 1) return 22;
        const int reply = udpSocket(9951);
        ip_mreq m{};
        ::inet_pton(AF_INET, "224.0.0.7", &m.imr_multiaddr);
        m.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        if (::setsockopt(reply, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) return 23;
        const std::uint8_t req[4] = {0xBA, 0xDC, 0xCD, 0xAB};
        if (!sendToGroup(taken, "224.0.0.7", 9851, req, 4)) return 24;
        std::uint8_t buf[256];
        if (receive(reply, buf, sizeof buf, 2000) != 128) return 25;
        if (std::memcmp(buf, encodeLinkSpec(f).data(), 128) != 0) return 26;
        return 0;
    });
    if (rc == kSkip) GTEST_SKIP() << "no network namespaces here";
    EXPECT_EQ(rc, 0);
}
