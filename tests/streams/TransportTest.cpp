// Socket streams against an in-test loopback listener and serial streams over a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "aStream.h"

namespace {

// A loopback listener on a free port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "listener";
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int accept1() { return accept(fd, nullptr, nullptr); }
};

// Reads up to want bytes from fd within the time limit.
std::string readFor(int fd, size_t want, int ms = 2000)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Reads want bytes from the stream, retrying "not ready" within the time limit.
aErr readStream(aStream* s, uint8_t* buf, size_t want, int ms = 2000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    aErr err;
    while ((err = aStream_Read(s, buf, want)) == aErrNotReady &&
           std::chrono::steady_clock::now() < end) {
    }
    return err;
}

TEST(SocketStream, ExchangesBytesAndWaitsBrieflyWhenIdle)
{
    Listener l;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s), aErrNone);
    int peer = l.accept1();
    ASSERT_GE(peer, 0);

    const uint8_t out[] = {4, 2, 0, 1};
    ASSERT_EQ(aStream_Write(s, out, sizeof out), aErrNone);
    EXPECT_EQ(readFor(peer, 4), std::string("\x04\x02\x00\x01", 4));

    // Nothing there: a short wait, not a spin and not a hang.
    uint8_t b = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(2));
    EXPECT_LT(waited, std::chrono::milliseconds(500));

    std::string block(5000, 'z');
    block[4999] = 'e';
    ASSERT_EQ(write(peer, block.data(), block.size()), 5000);
    std::vector<uint8_t> in(5000);
    ASSERT_EQ(readStream(s, in.data(), in.size()), aErrNone);
    EXPECT_EQ(std::string(in.begin(), in.end()), block);

    close(peer);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, RefusedConnectionFails)
{
    uint16_t port;
    {
        Listener l;
        port = l.port;
    }
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, nullptr), aErrParam);
}

TEST(SocketStream, WriteAfterResetReconnectsAndResends)
{
    Listener l;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s), aErrNone);
    int first = l.accept1();
    ASSERT_GE(first, 0);
    linger reset{1, 0};
    setsockopt(first, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(first); // the client sees a reset
    usleep(50000);

    const uint8_t out[] = {6, 1, 9};
    EXPECT_EQ(aStream_Write(s, out, sizeof out), aErrNone);
    int second = l.accept1();
    ASSERT_GE(second, 0);
    EXPECT_EQ(readFor(second, 3), std::string("\x06\x01\x09", 3));
    close(second);
    aStream_Destroy(&s);
}

TEST(SocketStream, ClosedPeerIsReconnectedByGet)
{
    Listener l;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s), aErrNone);
    close(l.accept1());
    uint8_t b = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int second = -1;
    while (second < 0 && std::chrono::steady_clock::now() < end) {
        aStream_Read(s, &b, 1);
        pollfd p{l.fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            second = l.accept1();
    }
    ASSERT_GE(second, 0);
    ASSERT_EQ(write(second, "k", 1), 1);
    ASSERT_EQ(readStream(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 'k');
    close(second);
    aStream_Destroy(&s);
}

// A pseudo-terminal pair: the stream opens the subordinate side by name.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty()
    {
        char n[128];
        if (openpty(&master, &slave, n, nullptr, nullptr) != 0)
            ADD_FAILURE() << "openpty";
        name = n;
    }
    ~Pty()
    {
        close(master);
        close(slave);
    }
};

TEST(SerialStream, ConfiguresRawAndExchangesBytes)
{
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.name.c_str(), 6, 0, 0, 0, &s), aErrNone);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    const uint8_t out[] = {'\n', 0, 0xFF, 'a'};
    ASSERT_EQ(aStream_Write(s, out, sizeof out), aErrNone);
    EXPECT_EQ(readFor(pty.master, 4), std::string("\n\0\xFF" "a", 4));

    uint8_t in[3];
    EXPECT_EQ(aStream_Read(s, in, 3), aErrNotReady);
    ASSERT_EQ(write(pty.master, "\r\nx", 3), 3);
    ASSERT_EQ(readStream(s, in, 3), aErrNone);
    EXPECT_EQ(std::string(in, in + 3), "\r\nx");
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, RefusesBadArgumentsAndMissingPorts)
{
    Pty pty;
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(pty.name.c_str(), 6, 0, 0, 2, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(pty.name.c_str(), 6, 0, 2, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, 0, 0, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/dev/no-such-port-here", 6, 0, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
}

TEST(SerialStream, PacketizedPortCarriesFrames)
{
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.name.c_str(), 6, 0, 0, 0, &s), aErrNone);
    const uint8_t packet[] = {4, 2, 0, 7};
    ASSERT_EQ(aStream_Write(s, packet, sizeof packet), aErrNone);
    std::string frame = readFor(pty.master, 7);
    ASSERT_EQ(frame.size(), 7u); // 4 bytes + CRC, stuffed, and the delimiter
    EXPECT_EQ(frame.back(), '\0');
    // The module's answer is the same frame coming back.
    ASSERT_EQ(write(pty.master, frame.data(), frame.size()), 7);
    uint8_t in[4];
    ASSERT_EQ(readStream(s, in, 4), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 4), std::vector<uint8_t>(packet, packet + 4));
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

}  // namespace
