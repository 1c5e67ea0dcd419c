#include "WireCapture.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace e2e {

namespace {

constexpr std::size_t kMaxData = 28;
constexpr std::uint8_t kCmdUpgrade = 95;
constexpr std::uint8_t kUeiDataSet = 0x8A;  // set of option 10
constexpr int kReceiveBuffer = 32 * 1024 * 1024;
constexpr int kPollMs = 50;

std::uint16_t be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }
std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Cuts a byte stream into link packets; false when it does not cut cleanly.
bool cut(const std::string& bytes, std::vector<WirePacket>& out) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 2) return false;
        const std::size_t length = std::uint8_t(bytes[at + 1]);
        if (length > kMaxData || bytes.size() - at - 2 < length) return false;
        WirePacket p;
        p.address = std::uint8_t(bytes[at]);
        p.data.assign(bytes.begin() + std::ptrdiff_t(at + 2), bytes.begin() + std::ptrdiff_t(at + 2 + length));
        out.push_back(std::move(p));
        at += 2 + length;
    }
    return true;
}

}  // namespace

// Segments wait in early until the stream reaches them; a retransmission
// that overlaps what was taken adds only its new bytes.
void WireCapture::Stream::add(std::uint32_t seq, const std::string& payload) {
    if (!started || payload.empty()) return;
    early[seq] = payload;
    for (bool progressed = true; progressed;) {
        progressed = false;
        for (auto it = early.begin(); it != early.end(); ++it) {
            const std::int32_t ahead = std::int32_t(it->first - next);
            if (ahead > 0) continue;
            const std::size_t seen = std::size_t(-std::int64_t(ahead));
            if (it->second.size() > seen) {
                bytes.append(it->second, seen, std::string::npos);
                next += std::uint32_t(it->second.size() - seen);
            }
            early.erase(it);
            progressed = true;
            break;
        }
    }
}

WireCapture::~WireCapture() { Stop(); }

bool WireCapture::Start(std::uint16_t port, std::string* why) {
    port_ = port;
    fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd_ < 0) {
        *why = std::string("packet socket: ") + std::strerror(errno);
        return false;
    }
    // Bursts of a whole update must not overflow the queue while the reader sleeps.
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = int(::if_nametoindex("lo"));
    if (where.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        *why = std::string("binding the packet socket to lo: ") + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    reader_ = std::thread([this] { run(); });
    return true;
}

void WireCapture::run() {
    std::vector<std::uint8_t> frame(70000);
    bool draining = false;
    for (;;) {
        if (!draining && stop_) draining = true;
        pollfd p{fd_, POLLIN, 0};
        if (!draining && ::poll(&p, 1, kPollMs) <= 0) continue;
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd_, frame.data(), frame.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                     &fromLength);
        if (n < 0) {
            if (draining) return;
            continue;
        }
        // On loopback each segment passes twice, going out and coming in; keep one.
        if (from.sll_pkttype == PACKET_OUTGOING) continue;
        take(frame.data(), std::size_t(n));
    }
}

void WireCapture::take(const std::uint8_t* ip, std::size_t length) {
    if (length < 20 || (ip[0] >> 4) != 4 || ip[9] != IPPROTO_TCP) return;
    const std::size_t ipHeader = std::size_t(ip[0] & 0x0F) * 4;
    const std::size_t total = std::min<std::size_t>(be16(ip + 2), length);
    if (total < ipHeader + 20) return;
    const std::uint8_t* tcp = ip + ipHeader;
    const std::uint16_t source = be16(tcp), destination = be16(tcp + 2);
    if (source != port_ && destination != port_) return;
    const bool toModule = destination == port_;
    const std::size_t tcpHeader = std::size_t(tcp[12] >> 4) * 4;
    if (total < ipHeader + tcpHeader) return;
    const std::uint32_t seq = be32(tcp + 4);
    const bool syn = tcp[13] & 0x02;
    // The host's side of the connection names it: its address and port.
    const std::uint32_t hostAddress = toModule ? be32(ip + 12) : be32(ip + 16);
    const std::uint16_t hostPort = toModule ? source : destination;
    const std::uint64_t key = std::uint64_t(hostAddress) << 16 | hostPort;

    std::lock_guard<std::mutex> lock(mutex_);
    auto found = streams_.find(key);
    if (found == streams_.end()) {
        if (!(syn && toModule)) return;  // begun before the capture
        order_.push_back(key);
        found = streams_.emplace(key, Connection{}).first;
    }
    Stream& stream = toModule ? found->second.toModule : found->second.toHost;
    if (syn) {
        stream.started = true;
        stream.next = seq + 1;
        return;
    }
    stream.add(seq, std::string(reinterpret_cast<const char*>(tcp + tcpHeader), total - ipHeader - tcpHeader));
}

void WireCapture::note(const std::string& problem) {
    if (problem_.empty()) problem_ = problem;
}

void WireCapture::Stop() {
    if (fd_ < 0) return;
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    tpacket_stats stats{};
    socklen_t size = sizeof stats;
    if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0 && stats.tp_drops != 0)
        note("the capture lost " + std::to_string(stats.tp_drops) + " segments");
    ::close(fd_);
    fd_ = -1;
    for (std::uint64_t key : order_) {
        Connection& c = streams_[key];
        if (!c.toModule.early.empty() || !c.toHost.early.empty()) note("a gap in a captured stream");
        if (!cut(c.toModule.bytes, fromHost_)) note("the host's bytes do not cut into packets");
        if (!cut(c.toHost.bytes, fromModule_)) note("the module's bytes do not cut into packets");
    }
}

std::vector<int> UpgradeRequests(const std::vector<WirePacket>& fromHost, std::uint8_t address) {
    std::vector<int> values;
    for (const WirePacket& p : fromHost) {
        if (p.address != address || p.data.size() < 2 || p.data[0] != kCmdUpgrade) continue;
        if (p.data[1] <= 7)
            values.push_back(p.data[1]);
        else if (p.data[1] == kUeiDataSet && p.data.size() > 3 && !(p.data.back() & 0x80))
            values.push_back(10);  // the last packet of the series
    }
    return values;
}

}  // namespace e2e
