// A link used from several threads at once, as the object layer does: request
// threads waiting for replies while another thread destroys the link, and
// callbacks taken away while the input thread may be running them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "FakeModule.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool never(const aPacket*, void*) { return false; }

bool lengthIs3(const aPacket* packet, void*)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    return length == 3;
}

long msSince(Clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
}

// Destroy returns only once every call on the link has let go of it, and it
// ends their waits instead of leaving them to run out.
TEST(LinkLifetime, DestroyEndsWaitsAndCallsInFlight)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    const int32_t kept = id;
    module.setMute(true); // a sync started now never completes

    constexpr int kWaiters = 4;
    std::atomic<int> inside{0};
    std::vector<long> waited(kWaiters, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i)
        threads.emplace_back([&, i] {
            inside++;
            auto t0 = Clock::now();
            aPacket* p = aLink_AwaitFirst(kept, never, nullptr, 8000);
            waited[i] = msSince(t0);
            EXPECT_EQ(p, nullptr);
            aPacket_Destroy(&p);
        });
    long syncMs = -1;
    aErr syncErr = aErrNone;
    std::thread syncing([&] {
        // Let the waiters enter first: a sync takes the link out of "running".
        while (inside < kWaiters)
            std::this_thread::yield();
        std::this_thread::sleep_for(milliseconds(50));
        auto t0 = Clock::now();
        syncErr = aLink_Sync(kept);
        syncMs = msSince(t0);
    });
    // Callers that only pass through keep hitting the link while it goes.
    std::atomic<bool> gone{false};
    std::thread busy([&] {
        aPacket* p = makePacket(4, {1});
        while (aLink_GetStatus(kept) != aLINK_STATUS_INVALID) {
            aLink_PutPacket(kept, p);
            aLink_DrainPackets(kept, never, nullptr);
            aLink_PacketDebug_Enable(kept);
        }
        gone = true;
        aPacket_Destroy(&p);
    });

    std::this_thread::sleep_for(milliseconds(300));
    auto t0 = Clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    const long destroyMs = msSince(t0);
    EXPECT_EQ(id, 0);
    for (auto& t : threads)
        t.join();
    syncing.join();
    busy.join();
    EXPECT_TRUE(gone);
    EXPECT_TRUE(module.deleted());
    EXPECT_NE(syncErr, aErrNone);
    // Everyone was released by the destroy, long before the 8 s and 2 s waits end.
    EXPECT_LT(destroyMs, 2000);
    EXPECT_LT(syncMs, 300 + destroyMs + 1000);
    for (long ms : waited)
        EXPECT_LT(ms, 300 + destroyMs + 1000);
}

// A callback that is slow to return, to be removed while it runs.
struct Slow {
    std::atomic<int> calls{0};
    std::atomic<bool> running{false};
    void run()
    {
        running = true;
        calls++;
        std::this_thread::sleep_for(milliseconds(300));
        running = false;
    }
};

// The object layer frees an observer's or filter's context as soon as the
// removal returns, so the removal waits for a call in progress.
TEST(LinkLifetime, RemovedCallbacksAreNotRunningAndNeverCalledAgain)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    Slow beat, filtered;
    auto observer = [](bool, void* slow) { static_cast<Slow*>(slow)->run(); };
    auto filter = [](const aPacket*, void* slow) {
        static_cast<Slow*>(slow)->run();
        return true;
    };
    ASSERT_EQ(aLink_InstallHeartbeatObserver(id, observer, &beat), aErrNone);
    module.sendPacket(4, {0, 0});
    ASSERT_TRUE(module.waitUntil([&] { return beat.running.load(); }));
    ASSERT_EQ(aLink_InstallHeartbeatObserver(id, nullptr, nullptr), aErrNone);
    EXPECT_FALSE(beat.running) << "removal returned during a call";

    ASSERT_EQ(aLink_InstallUserPacketFilter(id, filter, &filtered), aErrNone);
    module.sendPacket(4, {7, 7});
    ASSERT_TRUE(module.waitUntil([&] { return filtered.running.load(); }));
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    EXPECT_FALSE(filtered.running) << "removal returned during a call";

    module.sendPacket(4, {0, 0});
    module.sendPacket(4, {1, 2, 3});
    aPacket* p = aLink_AwaitFirst(id, lengthIs3, nullptr, 2000);
    EXPECT_NE(p, nullptr);
    aPacket_Destroy(&p);
    EXPECT_EQ(beat.calls, 1);
    EXPECT_EQ(filtered.calls, 1);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// "As long as it takes" is written as the largest time-out: it must wait,
// not wrap round to a deadline in the past.
TEST(LinkLifetime, LargestTimeoutWaitsForTheReply)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    std::thread later([&] {
        std::this_thread::sleep_for(milliseconds(200));
        module.sendPacket(4, {1, 2, 3});
    });
    aPacket* p = aLink_AwaitFirst(id, lengthIs3, nullptr, ULONG_MAX);
    later.join();
    EXPECT_NE(p, nullptr);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

} // namespace
