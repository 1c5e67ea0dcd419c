// The worker threads against an in-memory module: heartbeats, resync, sync,
// user filters, pooled writes, read errors and idle pacing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeModule.h"

namespace {

class LinkEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        id = aLink_Create(module.makeStream());
        ASSERT_GT(id, 0);
    }
    void TearDown() override
    {
        if (id != 0) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
    }
    bool heard(uint8_t address, const std::vector<uint8_t>& data)
    {
        for (const auto& p : module.received())
            if (p.address == address && p.data == data)
                return true;
        return false;
    }

    FakeModule module{4};
    int32_t id = 0;
};

struct Beats {
    std::atomic<int> up{0};
    std::atomic<int> down{0};
};

void countBeat(bool down, void* reference)
{
    auto* beats = static_cast<Beats*>(reference);
    (down ? beats->down : beats->up)++;
}

bool firstByteIs9(const aPacket* packet, void* reference)
{
    if (aPacket_GetData(packet)[0] != 9)
        return false;
    (*static_cast<std::atomic<int>*>(reference))++;
    return true;
}

bool lengthIs3(const aPacket* packet, void*)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    return length == 3;
}

} // namespace

TEST_F(LinkEngine, HeartbeatsAreAnsweredAndNeverQueued)
{
    Beats beats;
    ASSERT_EQ(aLink_InstallHeartbeatObserver(id, countBeat, &beats), aErrNone);
    module.sendPacket(4, {0, 0});
    EXPECT_TRUE(module.waitUntil([&] { return heard(4, {0, 2}); }));
    module.sendPacket(6, {0, 1});
    EXPECT_TRUE(module.waitUntil([&] { return heard(6, {0, 3}); }));
    EXPECT_TRUE(module.waitUntil([&] { return beats.up == 1 && beats.down == 1; }));

    // Not a heartbeat (third byte): delivered to the user.
    module.sendPacket(4, {0, 0, 1});
    aPacket* p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(unpack(p).data, (std::vector<uint8_t>{0, 0, 1}));
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LinkEngine, OddAddressResynchronisesAndTrafficResumes)
{
    module.sendPacket(5, {1});
    EXPECT_TRUE(module.waitUntil([&] { return module.count(aPACKET_ADDRESS_SYNC) >= 6; }));
    EXPECT_TRUE(module.waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    // The answers beyond the two the receiver needs arrive as zero-length packets.
    aLink_DrainPackets(id, [](const aPacket*, void*) { return true; }, nullptr);
    module.sendPacket(4, {1, 2, 3});
    aPacket* p = aLink_AwaitFirst(id, lengthIs3, nullptr, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(unpack(p).address, 4);
    aPacket_Destroy(&p);
}

TEST_F(LinkEngine, OverlongLengthByteResynchronises)
{
    module.send({4, 29});
    EXPECT_TRUE(module.waitUntil([&] { return module.count(aPACKET_ADDRESS_SYNC) >= 6; }));
    EXPECT_TRUE(module.waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
}

TEST_F(LinkEngine, SyncSucceedsAndLeavesNoAnswersBehind)
{
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    uint8_t address = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
    EXPECT_EQ(address, 4);
}

TEST_F(LinkEngine, SyncWithSilentModuleFailsAfterTwoSeconds)
{
    module.setMute(true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
    // Unsynchronised: filtered waits give up at once.
    EXPECT_EQ(aLink_AwaitFirst(id, lengthIs3, nullptr, 1000), nullptr);
    module.setMute(false);
    EXPECT_EQ(aLink_Sync(id), aErrNone);
}

TEST_F(LinkEngine, UserFilterConsumesWhatItSelects)
{
    std::atomic<int> seen{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, firstByteIs9, &seen), aErrNone);
    module.sendPacket(4, {9, 1, 1});
    module.sendPacket(4, {8, 1, 1});
    aPacket* p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(unpack(p).data[0], 8);
    aPacket_Destroy(&p);
    EXPECT_EQ(seen, 1);

    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    module.sendPacket(4, {9, 1, 1});
    p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    EXPECT_EQ(seen, 1);
}

TEST_F(LinkEngine, PooledWritesStayWithinOneBufferAndKeepOrder)
{
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    ASSERT_TRUE(module.waitUntil([&] { return module.count(aPACKET_ADDRESS_FORCE_ROUTE) == 1; }));
    module.setWriteGate(false);
    const int count = 200;
    std::vector<uint8_t> data(28, 0xEE);
    for (int i = 0; i < count; ++i) {
        data[0] = static_cast<uint8_t>(i);
        aPacket* p = makePacket(8, data);
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    module.setWriteGate(true);
    ASSERT_TRUE(module.waitUntil([&] { return module.count(8) == count; }));

    auto sizes = module.writeSizes();
    size_t total = 0;
    for (size_t size : sizes) {
        EXPECT_LE(size, 4096u);
        total += size;
    }
    EXPECT_LT(sizes.size(), 20u) << "packets went out pooled";
    EXPECT_GE(total, static_cast<size_t>(count) * 30);
    int next = 0;
    for (const auto& p : module.received())
        if (p.address == 8) {
            EXPECT_EQ(p.data[0], static_cast<uint8_t>(next++));
        }
}

TEST_F(LinkEngine, ReadErrorsSetIoStatusUntilTheModuleAnswersAgain)
{
    module.setReadError(aErrIO);
    EXPECT_TRUE(module.waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_IO_ERROR; }));
    module.setReadError(aErrNone);
    EXPECT_TRUE(module.waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    EXPECT_GE(module.count(aPACKET_ADDRESS_SYNC), 6u);
}

TEST_F(LinkEngine, AwaitFirstReturnsAPacketThatArrivesDuringTheWait)
{
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        module.sendPacket(4, {1, 1});
        module.sendPacket(4, {3, 3, 3});
    });
    aPacket* p = aLink_AwaitFirst(id, lengthIs3, nullptr, 3000);
    later.join();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(unpack(p).data[0], 3);
    aPacket_Destroy(&p);
    p = aLink_GetPacket(id);
    ASSERT_NE(p, nullptr) << "the unselected packet stays queued";
    aPacket_Destroy(&p);

    aLink_Stop(id);
    EXPECT_EQ(aLink_AwaitFirst(id, lengthIs3, nullptr, 1000), nullptr);
}

TEST_F(LinkEngine, ModelQueryReadsTheModelByte)
{
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    std::thread reply([&] {
        module.waitUntil([&] { return heard(4, {3, 0x48, 0x20}); });
        module.sendPacket(4, {3, 0x08, 0x00, 17});
    });
    uint8_t model = 0;
    EXPECT_EQ(_aLink_GetModel(id, 4, &model), aErrNone);
    reply.join();
    EXPECT_EQ(model, 17);
}

TEST_F(LinkEngine, IdleLinkDoesNotSpin)
{
    size_t before = module.getCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(module.getCalls() - before, 1000u);
}
