// A TCP/IP link against the simulated module on loopback: traffic both ways,
// sync, recovery from garbage, lost packets and dropped connections, the
// heartbeats the module checks, writers on several threads, waking a link
// whose threads sleep, and a reset while a caller's write is still going on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "ModsimHarness.h"

using namespace linkmodsim;

namespace {

// What the network does to the sends of a thread that asks for it (see send
// below): the kernel takes one byte of the next block and no more, then the
// peer's reset arrives in every connection that thread writes on.
enum SendFault { kSendsPass, kNextSendPartly, kConnectionsReset };
std::atomic<int> gSendFault{kSendsPass};
std::atomic<int> gResetsSeen{0};
thread_local bool tSendsDisturbed = false;

}  // namespace

// Stands in for the C library's send in this executable; every thread but a
// disturbed one gets the real thing.
extern "C" ssize_t send(int fd, const void* bytes, size_t length, int flags)
{
    using Send = ssize_t (*)(int, const void*, size_t, int);
    static const Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "send"));
    if (tSendsDisturbed && gSendFault == kConnectionsReset) {
        gResetsSeen++;
        errno = ECONNRESET;
        return -1;
    }
    if (tSendsDisturbed && length > 1 && gSendFault == kNextSendPartly) {
        ssize_t sent = real(fd, bytes, 1, flags);
        if (sent == 1)
            gSendFault = kConnectionsReset;
        return sent;
    }
    return real(fd, bytes, length, flags);
}

namespace {

using TcpLink = ModuleLinkTest<TcpModule>;

struct Beats {
    std::atomic<int> up{0};
    std::atomic<int> down{0};
};

void countBeat(bool down, void* reference)
{
    auto* beats = static_cast<Beats*>(reference);
    (down ? beats->down : beats->up)++;
}

TEST_F(TcpLink, EchoesCarryEveryPayloadSizeBothWays)
{
    open();
    for (std::uint8_t size = 0; size <= 27; ++size) {
        std::vector<std::uint8_t> payload(size);
        for (std::uint8_t i = 0; i < size; ++i)
            payload[i] = std::uint8_t(0xF0 ^ (i * 7 + size));
        EXPECT_TRUE(echo(id, payload)) << "payload of " << int(size) << " bytes";
    }
    EXPECT_EQ(module->session.stats().echoes, 28u);
    EXPECT_EQ(module->session.stats().framingErrors, 0u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr) << "nothing but the echoes came back";
}

TEST_F(TcpLink, RouteIsForcedOnStartAndReleasedOnStop)
{
    open();
    ASSERT_TRUE(waitUntil([&] { return module->session.stats().routeForced; }));
    EXPECT_EQ(module->session.stats().forceRouteOn, 1u);
    EXPECT_EQ(aLink_Stop(id), aErrNone);
    EXPECT_TRUE(waitUntil([&] { return module->session.stats().forceRouteOff == 1; }));
    EXPECT_FALSE(module->session.stats().routeForced);
    EXPECT_EQ(aLink_Start(id), aErrNone);
    EXPECT_TRUE(echo(id, {1, 2, 3}));
}

TEST_F(TcpLink, SyncCompletesAndLeavesNoAnswersQueued)
{
    open();
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    // Requests still queued when the answers have come are dropped by the sync.
    EXPECT_GE(module->session.stats().syncRequests, 2u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    std::uint8_t address = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
    EXPECT_EQ(address, kAddress);
    std::uint8_t model = 0;
    EXPECT_EQ(_aLink_GetModel(id, kAddress, &model), aErrNone);
    EXPECT_EQ(model, modsim::ModuleConfig{}.model);
}

// A stray odd byte before an answer breaks the packet format: the link asks for
// sync again, throws away what it cannot place, and carries on.
TEST_F(TcpLink, StrayByteResynchronisesAndTrafficResumes)
{
    open();
    // Over loopback the resync is over too fast to be seen in the status; the
    // module counts the requests instead.
    const unsigned syncsBefore = module->session.stats().syncRequests;
    modsim::FaultConfig garbage;
    garbage.insertEvery = 1;
    module->session.setFaults(garbage);
    ASSERT_EQ(putEcho(id, {0x55}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.faultStats().inserted > 0; }));
    module->session.setFaults({});
    ASSERT_TRUE(waitUntil([&] {
        return module->session.stats().syncRequests >= syncsBefore + 6 &&
               aLink_GetStatus(id) == aLINK_STATUS_RUNNING;
    }));
    aLink_DrainPackets(id, [](const aPacket*, void*) { return true; }, nullptr);
    EXPECT_TRUE(echo(id, {0x56}));
}

TEST_F(TcpLink, CorruptedAddressResynchronises)
{
    open();
    const unsigned syncsBefore = module->session.stats().syncRequests;
    modsim::FaultConfig corrupt;
    corrupt.corruptEvery = 1;
    module->session.setFaults(corrupt);
    ASSERT_EQ(putEcho(id, {0x42}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.faultStats().corrupted > 0; }));
    module->session.setFaults({});
    ASSERT_TRUE(waitUntil([&] {
        return module->session.stats().syncRequests > syncsBefore &&
               aLink_GetStatus(id) == aLINK_STATUS_RUNNING;
    }));
    EXPECT_TRUE(echo(id, {0x43}));
}

TEST_F(TcpLink, HeartbeatsAreAnsweredCorrectlyAndNeverQueued)
{
    modsim::ModuleConfig config;
    config.heartbeatMs = 40;
    open(config);
    Beats beats;
    ASSERT_EQ(aLink_InstallHeartbeatObserver(id, countBeat, &beats), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.stats().heartbeatsAnswered >= 6; }, 3000));
    const modsim::ModuleStats stats = module->session.stats();
    EXPECT_EQ(stats.heartbeatsWrong, 0u);
    EXPECT_EQ(stats.heartbeatsMissed, 0u);
    EXPECT_GE(beats.up.load(), 2);
    EXPECT_GE(beats.down.load(), 2);
    EXPECT_EQ(aLink_GetPacket(id), nullptr) << "a heartbeat reached the user";
    EXPECT_TRUE(echo(id, {7, 7}));
    aLink_InstallHeartbeatObserver(id, nullptr, nullptr);
}

// Every third answer is lost on the way: the others arrive intact and in
// order, and the link stays synchronised.
TEST_F(TcpLink, LostAnswersDoNotDisturbTheOthers)
{
    open();
    modsim::FaultConfig lossy;
    lossy.dropEvery = 3;
    module->session.setFaults(lossy);
    const unsigned droppedBefore = module->session.faultStats().dropped;
    constexpr int kCount = 30;
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(putEcho(id, {std::uint8_t(i)}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.stats().echoes == unsigned(kCount); }));
    const auto replies = collect(id, 150);
    const unsigned dropped = module->session.faultStats().dropped - droppedBefore;
    EXPECT_EQ(dropped, unsigned(kCount / 3));
    ASSERT_EQ(replies.size(), kCount - dropped);
    int last = -1;
    for (const auto& r : replies) {
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0], kCmdDebug);
        EXPECT_GT(int(r[1]), last);
        last = r[1];
    }
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    module->session.setFaults({});
    EXPECT_TRUE(echo(id, {0xEE}));
}

uint32_t drops(int32_t id)
{
    uint32_t count = 0;
    EXPECT_EQ(aLink_GetDropCount(id, &count), aErrNone);
    return count;
}

// The module drops the connection right after an answer: the answer still
// arrives, the stream reconnects by itself, and the link counts the loss and
// synchronises afresh before traffic goes on.
TEST_F(TcpLink, ConnectionResetByModuleReconnects)
{
    open();
    EXPECT_EQ(drops(id), 0u);
    modsim::FaultConfig drop;
    drop.resetEvery = 1;
    module->session.setFaults(drop);
    EXPECT_TRUE(echo(id, {1}));
    module->session.setFaults({});
    ASSERT_TRUE(waitUntil([&] { return module->server.connections() == 2; }));
    EXPECT_EQ(module->session.faultStats().resets, 1u);
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING && drops(id) == 1; }));
    EXPECT_TRUE(echo(id, {2}));
}

// A module that restarts keeps its port closed for a while: the link keeps
// trying, pausing longer each time, and is back soon after the module is.
// One that restarts at once still shows in the count of losses.
TEST_F(TcpLink, RestartingModuleIsFoundAgainHoweverLongItTakes)
{
    open();
    module->session.withModule([](modsim::VirtualModule& m) { m.requestRestart(modsim::RestartRequest{600}); });
    ASSERT_TRUE(waitUntil([&] { return drops(id) == 1; }));
    EXPECT_NE(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }, 3000))
        << "status " << aLink_GetStatus(id);
    EXPECT_GE(module->server.connections(), 2u);
    EXPECT_TRUE(echo(id, {2}));

    module->session.withModule([](modsim::VirtualModule& m) { m.requestRestart(modsim::RestartRequest{0}); });
    ASSERT_TRUE(waitUntil([&] { return drops(id) == 2 && aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    EXPECT_TRUE(echo(id, {4}));
}

TEST_F(TcpLink, ResetRebuildsTheConnection)
{
    open();
    ASSERT_TRUE(echo(id, {1}));
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    ASSERT_TRUE(waitUntil([&] { return module->server.connections() == 2; }));
    EXPECT_TRUE(echo(id, {2}));
    EXPECT_TRUE(waitUntil([&] { return module->session.stats().forceRouteOn == 2; }));
}

TEST_F(TcpLink, PooledOutputKeepsEveryPacketInOrder)
{
    open();
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(putEcho(id, {std::uint8_t(i >> 8), std::uint8_t(i), 0, 0, 0, 0, 0, 0}), aErrNone);
    std::vector<std::vector<std::uint8_t>> replies;
    ASSERT_TRUE(waitUntil([&] {
        for (auto& r : collect(id, 20))
            replies.push_back(r);
        return replies.size() >= size_t(kCount);
    }, 3000));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ((replies[i][1] << 8) | replies[i][2], i);
    EXPECT_EQ(module->session.stats().framingErrors, 0u);
}

// Callers write their packets themselves when nothing waits ahead of them,
// the output thread writes the rest (heartbeat answers among them): from
// several threads at once, every packet arrives once and each thread's in
// the order it put them.
TEST_F(TcpLink, CallersAndTheOutputThreadKeepEachSendersOrder)
{
    modsim::ModuleConfig config;
    config.heartbeatMs = 20;
    open(config);
    constexpr int kThreads = 3, kEach = 150;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(putEcho(id, {std::uint8_t(t), std::uint8_t(i)}), aErrNone);
        });
    std::vector<std::vector<std::uint8_t>> replies;
    const bool all = waitUntil([&] {
        for (auto& r : collect(id, 20))
            replies.push_back(r);
        return replies.size() >= size_t(kThreads * kEach);
    }, 5000);
    for (auto& t : senders)
        t.join();
    ASSERT_TRUE(all) << replies.size() << " replies";
    int next[kThreads] = {};
    for (const auto& r : replies) {
        ASSERT_EQ(r.size(), 3u);
        ASSERT_LT(r[1], kThreads);
        EXPECT_EQ(r[2], next[r[1]]) << "thread " << int(r[1]);
        next[r[1]] = r[2] + 1;
    }
    EXPECT_EQ(module->session.stats().heartbeatsWrong, 0u);
}

// An idle link's threads sleep on their queue and their socket for up to a
// second at a time: a sync asked for by a caller and a stop wake them rather
// than waiting that out.
TEST_F(TcpLink, SyncAndStopWakeTheSleepingThreads)
{
    open();
    using Clock = std::chrono::steady_clock;
    auto msSince = [](Clock::time_point t0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    };
    ASSERT_TRUE(echo(id, {1}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = Clock::now();
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_LT(msSince(t0), 500) << "the sync waited for the input thread's sleep to end";
    ASSERT_TRUE(echo(id, {2}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    t0 = Clock::now();
    EXPECT_EQ(aLink_Stop(id), aErrNone);
    EXPECT_LT(msSince(t0), 500);
    EXPECT_TRUE(waitUntil([&] { return module->session.stats().forceRouteOff == 1; }));
    EXPECT_EQ(aLink_Start(id), aErrNone);
    EXPECT_TRUE(echo(id, {3}));
}

TEST(TcpLinkCreate, NoModuleListeningFails)
{
    int32_t id;
    {
        TcpModule gone;
        std::uint16_t port = gone.server.port();
        gone.server.stop();
        id = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), port);
    }
    EXPECT_EQ(id, 0);
}

// A module that keeps sending (a router relaying samples, say) leaves the
// link no quiet moment: after its connection is lost and made again, the
// link still finds step with it while the packets flow.
TEST_F(TcpLink, BusyModuleIsFoundAgainAfterALostConnection)
{
    open();
    std::atomic<bool> stop{false};
    std::thread flow([&] {
        const std::vector<std::uint8_t> sample = {3, 22, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 5, 0};
        while (!stop) {
            module->session.pushPacket(modsim::Packet{kAddress, sample});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::uint32_t dropsBefore = 0, drops = 0;
    ASSERT_EQ(aLink_GetDropCount(id, &dropsBefore), aErrNone);
    module->session.withModule([](modsim::VirtualModule& m) { m.requestRestart(modsim::RestartRequest{}); });
    const bool lost = waitUntil([&] { return aLink_GetDropCount(id, &drops) == aErrNone && drops > dropsBefore; });
    const bool back = lost && waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; });
    const int status = aLink_GetStatus(id);
    stop = true;
    flow.join();
    EXPECT_TRUE(lost);
    EXPECT_TRUE(back) << "status " << status;
    EXPECT_TRUE(echo(id, {1, 2, 3}, 2000));
}

// Puts listener on a free loopback port with a queue of that length and opens
// a link to it; the link's identifier, or 0.
int32_t linkToListener(int listener, int queue)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        listen(listener, queue) != 0)
        return 0;
    return aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), ntohs(address.sin_port));
}

// A module that vanishes without closing its connection (power lost, cable
// pulled) takes nothing more: once the connection is full, the link lets go
// of what is still queued within moments, not one full write wait per
// packet, so that closing it does not hang.
TEST(TcpPeer, VanishedWithoutClosingDoesNotHoldUpTheClose)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    int32_t id = linkToListener(listener, 1);
    ASSERT_GT(id, 0);
    const int peer = accept(listener, nullptr, nullptr);  // and never reads
    ASSERT_GE(peer, 0);

    // Pooled writes fill the connection quickly; it is full once the queue
    // stops draining.
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    std::vector<std::uint8_t> data(27, 0x55);
    data[0] = kCmdDebug;
    aPacket* packet = aPacket_CreateWithData(kAddress, std::uint8_t(data.size()), data.data());
    bool full = false;
    for (int round = 0; round < 400 && !full; ++round) {
        for (int i = 0; i < 900; ++i)
            aLink_PutPacket(id, packet);
        full = aLink_AwaitOutputRoom(id, 1000, 300) == aErrTimeout;
    }
    aPacket_Destroy(&packet);
    ASSERT_TRUE(full);
    // One packet at a time from now on: each would wait the whole write wait.
    ASSERT_EQ(aLink_EnablePooledPackets(id, false), aErrNone);
    const auto start = std::chrono::steady_clock::now();
    const aErr letGo = aLink_AwaitOutputRoom(id, 1000, 3000);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(letGo, aErrNone) << "the queue still holds what the connection cannot take";  // (a close would hang)
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(took, std::chrono::seconds(2));
    close(peer);
    close(listener);
}

// A caller writing its packet itself gets only part of it out before the
// module resets the connection; every new connection it makes is reset in
// turn, and each takes a second to be let in (the module's queue is full):
// its write lasts longer than a reset waits for it. The reset must not free
// the connection under that write, and the link must come back.
TEST(TcpPeer, ResetLeavesTheConnectionACallerStillWritesOnAlone)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int32_t id = linkToListener(listener, 0);  // room for one waiting connection
    ASSERT_GT(id, 0);

    // The module takes each connection a while after it arrived, and keeps
    // it; attempts made meanwhile go unanswered until the kernel tries again.
    std::mutex acceptedLock;
    std::vector<int> accepted;
    std::atomic<bool> stop{false};
    std::thread module([&] {
        while (!stop) {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 20) != 1)
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const int fd = accept(listener, nullptr, nullptr);
            std::lock_guard<std::mutex> hold(acceptedLock);
            accepted.push_back(fd);
        }
    });
    // The link's own route request is out: its queue is empty again.
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> hold(acceptedLock);
        if (accepted.empty())
            return false;
        pollfd sent{accepted.front(), POLLIN, 0};
        return poll(&sent, 1, 0) == 1;
    }));

    std::vector<std::uint8_t> data(27, 0x5A);
    data[0] = kCmdDebug;
    aPacket* packet = aPacket_CreateWithData(kAddress, std::uint8_t(data.size()), data.data());
    gSendFault = kNextSendPartly;
    std::atomic<bool> putDone{false};
    std::thread caller([&] {
        tSendsDisturbed = true;
        for (int put = 0; put < 50 && gSendFault == kNextSendPartly; ++put) {
            aLink_PutPacket(id, packet);  // queued, or written here
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        putDone = true;
    });
    const bool writing = waitUntil([&] { return gSendFault == kConnectionsReset; });
    const aErr reset = writing ? aLink_Reset(id) : aErrUnknown;
    const bool outlasted = !putDone;
    gSendFault = kSendsPass;
    caller.join();
    aPacket_Destroy(&packet);

    EXPECT_TRUE(writing) << "no put was written by its caller";
    EXPECT_TRUE(outlasted) << "the caller's write ended before the reset, after "
                           << gResetsSeen << " connections";
    EXPECT_EQ(reset, aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    stop = true;
    module.join();
    for (int fd : accepted)
        close(fd);
    close(listener);
}

}  // namespace
