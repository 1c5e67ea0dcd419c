// The module over real descriptors: a TCP host on loopback and a serial host
// on the pseudo-terminal, each speaking the line format with code of its own.
#include "ModuleSession.h"
#include "PtyServer.h"
#include "TcpServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace modsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Reads until want bytes arrived or the time is up; returns what came.
Bytes readFor(int fd, std::size_t want, int timeoutMs, int* err = nullptr) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        std::uint8_t b[256];
        const ssize_t n = ::read(fd, b, std::min(sizeof b, want - got.size()));
        if (n > 0) {
            got.insert(got.end(), b, b + n);
        } else {
            if (err) *err = n == 0 ? 0 : errno;
            break;
        }
    }
    return got;
}

void writeAll(int fd, const Bytes& b) { ASSERT_EQ(::write(fd, b.data(), b.size()), ssize_t(b.size())); }

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Stuffing written independently of the simulator's: block by block.
std::uint8_t crc8(const Bytes& b) {
    std::uint8_t c = 0;
    for (std::uint8_t x : b) {
        for (int i = 0; i < 8; ++i) {
            const bool mix = (c ^ x) & 1;
            c >>= 1;
            if (mix) c ^= 0x8C;
            x >>= 1;
        }
    }
    return c;
}

Bytes frame(const Bytes& wire) {
    Bytes raw = wire;
    raw.push_back(crc8(wire));
    raw.push_back(0);  // sentinel: every block ends at a zero
    Bytes out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == 0) {
            out.push_back(std::uint8_t(i - start + 1));
            out.insert(out.end(), raw.begin() + long(start), raw.begin() + long(i));
            start = i + 1;
        }
    }
    out.push_back(0);
    return out;
}

Bytes unframe(const Bytes& line) {  // one frame, delimiter included
    Bytes out;
    std::size_t i = 0;
    while (i < line.size() && line[i] != 0) {
        const std::uint8_t code = line[i];
        for (std::size_t k = 1; k < code; ++k) out.push_back(line[i + k]);
        i += code;
        if (code < 0xFF && line[i] != 0) out.push_back(0);
    }
    return out;
}

ModuleConfig config(std::uint32_t heartbeatMs = 0) {
    ModuleConfig c;
    c.address = 10;
    c.heartbeatMs = heartbeatMs;
    return c;
}

}  // namespace

TEST(ModsimTcp, SyncEchoAndHeartbeatRoundTrip) {
    ModuleSession session(config(50), Framing::Raw);
    TcpServer server(session);
    std::string err;
    ASSERT_TRUE(server.start(0, &err)) << err;
    ASSERT_NE(server.port(), 0);
    const int fd = connectLoopback(server.port());
    ASSERT_GE(fd, 0);

    writeAll(fd, {0xAD, 0, 0xAD, 0, 0xAF, 1, 1});
    EXPECT_EQ(readFor(fd, 4, 2000), (Bytes{10, 0, 10, 0}));
    writeAll(fd, {10, 3, 23, 0x55, 0xAA});
    EXPECT_EQ(readFor(fd, 5, 2000), (Bytes{10, 3, 23, 0x55, 0xAA}));

    // Answer two beats as the host does: data 0, beat + 2.
    for (int i = 0; i < 2; ++i) {
        const Bytes beat = readFor(fd, 4, 2000);
        ASSERT_EQ(beat.size(), 4u);
        EXPECT_EQ(beat[0], 10);
        EXPECT_EQ(beat[2], 0);
        EXPECT_EQ(beat[3], i);
        writeAll(fd, {10, 2, 0, std::uint8_t(beat[3] + 2)});
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (session.stats().heartbeatsAnswered < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(session.stats().heartbeatsAnswered, 2u);
    EXPECT_TRUE(session.stats().routeForced);
    ::close(fd);
}

TEST(ModsimTcp, ResetFaultDropsTheHostAndTheNextHostIsServed) {
    ModuleSession session(config(), Framing::Raw);
    FaultConfig f;
    f.resetEvery = 2;
    session.setFaults(f);
    TcpServer server(session);
    ASSERT_TRUE(server.start(0));
    int fd = connectLoopback(server.port());
    ASSERT_GE(fd, 0);
    writeAll(fd, {0xAD, 0, 0xAD, 0, 0xAD, 0});
    int e = -1;
    const Bytes got = readFor(fd, 100, 2000, &e);
    EXPECT_EQ(got, (Bytes{10, 0, 10, 0}));
    EXPECT_EQ(e, ECONNRESET);
    ::close(fd);

    fd = connectLoopback(server.port());
    ASSERT_GE(fd, 0);
    writeAll(fd, {0xAD, 0});
    EXPECT_EQ(readFor(fd, 2, 2000), (Bytes{10, 0}));
    ::close(fd);
    EXPECT_EQ(server.connections(), 2u);
}

TEST(ModsimPty, FramedRoundTripThroughTheSlave) {
    ModuleSession session(config(), Framing::Cobs);
    PtyServer pty(session);
    std::string err;
    ASSERT_TRUE(pty.start(&err)) << err;
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfmakeraw(&t);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);

    // Garbage and a broken frame first: both must be skipped.
    Bytes broken = frame({0xAD, 0});
    broken[1] ^= 0xFF;
    Bytes line{0x33, 0x44, 0x00};
    line.insert(line.end(), broken.begin(), broken.end());
    const Bytes sync = frame({0xAD, 0});
    line.insert(line.end(), sync.begin(), sync.end());
    writeAll(fd, line);
    Bytes got = readFor(fd, 4, 2000);  // frame of {10, 0, crc}: code 2, 10, code 2, crc, 0 unless crc is 0
    ASSERT_FALSE(got.empty());
    while (got.back() != 0) {
        Bytes more = readFor(fd, 1, 1000);
        ASSERT_FALSE(more.empty());
        got.insert(got.end(), more.begin(), more.end());
    }
    Bytes decoded = unframe(got);
    ASSERT_EQ(decoded.size(), 3u);
    EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + 2), (Bytes{10, 0}));
    EXPECT_EQ(decoded[2], crc8({10, 0}));
    EXPECT_EQ(session.badFrames(), 2u);

    // An echo with zeros inside, as long as a serial packet may be.
    Bytes echo{10, 27, 23};
    for (int i = 0; i < 26; ++i) echo.push_back(std::uint8_t(i % 3 == 0 ? 0 : i));
    writeAll(fd, frame(echo));
    got = readFor(fd, frame(echo).size(), 2000);
    EXPECT_EQ(got, frame(echo));
    ::close(fd);
}
