// Link table and lifecycle: identifiers, use counts, start/stop (a short queue
// flushed, a long one cut short), unknown links.
#include <gtest/gtest.h>

#include <thread>

#include "FakeModule.h"

namespace {

bool isForceRoute(const FakePacket& p, uint8_t value)
{
    return p.address == aPACKET_ADDRESS_FORCE_ROUTE && p.data.size() == 1 && p.data[0] == value;
}

size_t forceRoutes(FakeModule& module, uint8_t value)
{
    size_t n = 0;
    for (const auto& p : module.received())
        n += isForceRoute(p, value);
    return n;
}

} // namespace

TEST(LinkTable, GenericLinkRunsAndLastDestroyFreesStream)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    int32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0);
    EXPECT_TRUE(module.deleted());
    EXPECT_EQ(aLink_GetStatus(copy), aLINK_STATUS_INVALID);
    EXPECT_EQ(aLink_Destroy(&copy), aErrParam);
    EXPECT_EQ(copy, 0);
}

TEST(LinkTable, IdentifiersAreNeverReused)
{
    FakeModule a(4), b(6);
    int32_t first = aLink_Create(a.makeStream());
    ASSERT_GT(first, 0);
    int32_t kept = first;
    aLink_Destroy(&first);
    int32_t second = aLink_Create(b.makeStream());
    EXPECT_GT(second, kept);
    aLink_Destroy(&second);
}

TEST(LinkTable, BadArgumentsFailCleanly)
{
    EXPECT_EQ(aLink_Create(nullptr), 0);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 12345), 0);
    EXPECT_EQ(aLink_CreateSerial(1, nullptr, 9600), 0);
    EXPECT_EQ(aLink_CreateSerial(1, "/nonexistent/tty-link", 9600), 0);

    const int32_t unknown = 99999;
    aPacket* p = makePacket(4, {1});
    EXPECT_EQ(aLink_GetStatus(unknown), aLINK_STATUS_INVALID);
    EXPECT_EQ(aLink_PutPacket(unknown, p), aErrParam);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_Reset(unknown), aErrParam);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    aPacket_Destroy(&p);
}

TEST(LinkTable, StartSendsRouteOnOnceAndStopSendsRouteOff)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    ASSERT_TRUE(module.waitUntil([&] { return forceRoutes(module, 1) == 1; }));

    // Already running: nothing new is started or sent.
    EXPECT_EQ(aLink_Start(id), aErrNone);
    EXPECT_EQ(aLink_Stop(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_STOPPED);
    EXPECT_EQ(forceRoutes(module, 1), 1u);
    EXPECT_EQ(forceRoutes(module, 0), 1u) << "route off is flushed before the threads end";

    EXPECT_EQ(aLink_Stop(id), aErrNone);
    EXPECT_EQ(aLink_Start(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(module.waitUntil([&] { return forceRoutes(module, 1) == 2; }));
    aLink_Destroy(&id);
}

TEST(LinkTable, PacketsQueuedBeforeStopAreStillWritten)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    module.setWriteGate(false);
    for (uint8_t i = 0; i < 20; ++i) {
        aPacket* p = makePacket(4, {7, i});
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    // The stop begins while the writer is stuck and the rest is still queued.
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        module.setWriteGate(true);
    });
    aLink_Destroy(&id);
    opener.join();
    size_t sevens = 0;
    for (const auto& p : module.received())
        sevens += p.address == 4 && p.data.size() == 2 && p.data[0] == 7;
    EXPECT_EQ(sevens, 20u);
}

TEST(LinkTable, StopDoesNotWaitBehindALongQueue)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    module.setWriteGate(false);
    const size_t queued = 500;
    for (size_t i = 0; i < queued; ++i) {
        aPacket* p = makePacket(4, {7, static_cast<uint8_t>(i)});
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    // The writer stays stuck on the first packet for longer than a stop
    // waits for the queue; what is still queued then is dropped, and the
    // route still goes off.
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        module.setWriteGate(true);
    });
    aLink_Destroy(&id);
    opener.join();
    const auto received = module.received();
    size_t sevens = 0;
    for (const auto& p : received)
        sevens += p.address == 4 && p.data.size() == 2 && p.data[0] == 7;
    EXPECT_LT(sevens, queued);
    ASSERT_FALSE(received.empty());
    EXPECT_TRUE(isForceRoute(received.back(), 0));
}

TEST(LinkTable, ResetOfCallerMadeStreamIsRefusedAndLinkKeepsWorking)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    ASSERT_GT(id, 0);
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_FALSE(module.deleted());
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    module.sendPacket(4, {1, 2, 3});
    aPacket* p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    aLink_Destroy(&id);
}
