// Socket streams losing their connection while a reader and a writer use them
// at once, and peers that stop answering (a module rebooting during an
// update): one reconnect per lost connection, and no wait without a bound.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aStream.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long msSince(Clock::time_point t0)
{
    return long(std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
}

// A loopback listener on a free port. With a queue of 0, once one connection
// waits in it further attempts go unanswered, as with a host whose network is down.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    explicit Listener(int queue)
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), len) != 0 || listen(fd, queue) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0)
            ADD_FAILURE() << "listener";
    }
    ~Listener() { close(fd); }
    uint16_t port() const { return ntohs(address.sin_port); }
    // A client connection that waits in the queue; the caller closes it.
    int queueOne()
    {
        int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd p{client, POLLOUT, 0};
        EXPECT_EQ(poll(&p, 1, 1000), 1) << "no room in the queue";
        return client;
    }
};

// Closes a connection so that the other end sees a reset. The descriptor number
// stays taken, as it would with the module in another process, so the client's
// next socket may get the number its lost connection had.
void resetKeepingNumber(int fd)
{
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    int placeholder = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(placeholder, fd);
    close(placeholder);
}

// The reader and the writer both see every reset; between them they must open
// exactly one new connection, not replace the one the other just made.
TEST(SocketReconnect, EachLostConnectionIsReplacedOnce)
{
    Listener listener(8);
    std::mutex lock;
    std::vector<int> accepted;
    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        while (!stop) {
            pollfd p{listener.fd, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                std::lock_guard<std::mutex> hold(lock);
                accepted.push_back(accept(listener.fd, nullptr, nullptr));
            }
        }
    });
    auto count = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return accepted.size();
    };
    auto waitForMoreThan = [&](size_t n) {
        auto end = Clock::now() + milliseconds(4000);
        while (count() <= n && Clock::now() < end)
            std::this_thread::sleep_for(milliseconds(2));
        return count() > n;
    };
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), listener.port(), &s), aErrNone);
    ASSERT_TRUE(waitForMoreThan(0));
    std::thread reader([&] {
        uint8_t b = 0;
        while (!stop)
            aStream_Read(s, &b, 1);
    });
    // Nobody reads on the far side: the writer soon waits for room on the
    // connection the reader waits for data on, so both wake at a reset.
    std::thread writer([&] {
        const std::vector<uint8_t> block(4096, 0x42);
        while (!stop)
            aStream_Write(s, block.data(), block.size());
    });
    constexpr size_t kResets = 30;
    for (size_t round = 1; round <= kResets; ++round) {
        std::this_thread::sleep_for(milliseconds(40));
        {
            std::lock_guard<std::mutex> hold(lock);
            resetKeepingNumber(accepted.back());
        }
        ASSERT_TRUE(waitForMoreThan(round)) << "no new connection after reset " << round;
    }
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(count(), kResets + 1) << "a connection was replaced more than once";
    stop = true;
    reader.join();
    writer.join();
    acceptor.join();
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    for (int fd : accepted)
        close(fd);
}

// Neither opening a stream nor stopping a link whose reader is reconnecting
// waits for the kernel to give up on a silent peer (minutes).
TEST(SocketReconnect, SilentPeerHoldsNobodyUpForLong)
{
    Listener listener(0);
    int32_t id = aLink_CreateTCPIP(0x5EED0002, htonl(INADDR_LOOPBACK), listener.port());
    ASSERT_GT(id, 0);
    int module = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(module, 0);
    int waiting = listener.queueOne();
    resetKeepingNumber(module);
    std::this_thread::sleep_for(milliseconds(200)); // the reader is reconnecting now

    aPacket* p = aPacket_CreateWithData(4, 1, reinterpret_cast<const uint8_t*>("x"));
    auto t0 = Clock::now();
    EXPECT_EQ(aLink_PutPacket(id, p), aErrNone);
    EXPECT_LT(msSince(t0), 100) << "queueing waited for the connection";
    aPacket_Destroy(&p);
    t0 = Clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(msSince(t0), 6000);

    aStream* s = nullptr;
    t0 = Clock::now();
    EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), listener.port(), &s), aErrResource);
    EXPECT_LT(msSince(t0), 6000);
    close(waiting);
    close(module);
}

}  // namespace
