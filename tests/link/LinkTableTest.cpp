// Link table and lifecycle: identifiers, use counts, start/stop (a short queue
// flushed, a long one cut short), unknown links.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

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

namespace {

// Queues count packets {7, n} behind a writer stuck at the module (as many
// as the queue takes when count is 0), destroys the link while the writer is
// held for heldMs, and returns what the module received in the end.
std::vector<FakePacket> destroyBehindQueue(size_t count, int heldMs)
{
    FakeModule module(4);
    int32_t id = aLink_Create(module.makeStream());
    EXPECT_GT(id, 0);
    module.setWriteGate(false);
    aErr err = aErrNone;
    for (size_t i = 0; (count == 0 || i < count) && err == aErrNone && i < 5000; ++i) {
        aPacket* p = makePacket(4, {7, static_cast<uint8_t>(i)});
        err = aLink_PutPacket(id, p);
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(err, count == 0 ? aErrOverrun : aErrNone);
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(heldMs));
        module.setWriteGate(true);
    });
    aLink_Destroy(&id);
    opener.join();
    return module.received();
}

size_t sevens(const std::vector<FakePacket>& received)
{
    size_t n = 0;
    for (const auto& p : received)
        n += p.address == 4 && p.data.size() == 2 && p.data[0] == 7;
    return n;
}

} // namespace

// A short queue (a last command) still goes out whole; a long one behind a
// slow transport is cut short a while after the stop, and the route still
// goes off; so it does behind a full queue (a module that took nothing for a
// thousand packets), which refuses the stop's route change like any packet.
TEST(LinkTable, StopWritesAShortQueueAndCutsALongOneShort)
{
    EXPECT_EQ(sevens(destroyBehindQueue(20, 100)), 20u);
    for (size_t count : {size_t(500), size_t(0)}) {
        const auto received = destroyBehindQueue(count, count == 0 ? 700 : 1500);
        EXPECT_LT(sevens(received), 500u);
        ASSERT_FALSE(received.empty());
        EXPECT_TRUE(isForceRoute(received.back(), 0)) << count << " queued";
    }
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
