// The packet log: size rules, ring behaviour and the traffic it records.
#include <gtest/gtest.h>

#include "FakeModule.h"

namespace {

class LinkLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        id = aLink_Create(module.makeStream());
        ASSERT_GT(id, 0);
    }
    void TearDown() override { aLink_Destroy(&id); }

    FakeModule module{4};
    int32_t id = 0;
};

} // namespace

TEST_F(LinkLog, NothingWorksBeforeTheLogExists)
{
    uint8_t type = 0, buffer[8];
    size_t length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 1, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
}

TEST_F(LinkLog, SizeIsBoundedAndFixedOnceCreated)
{
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, aLINK_LOG_SIZE_MAX + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, aLINK_LOG_SIZE_MAX), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 100), aErrBusy);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
}

TEST_F(LinkLog, ShortBufferKeepsTheEntry)
{
    // The output thread may still be writing the start-up route packet; with
    // the threads stopped only this test's entry is logged.
    ASSERT_EQ(aLink_Stop(id), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    const uint8_t start[] = "START";
    ASSERT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, sizeof start, start), aErrNone);
    uint8_t type = 0, buffer[16] = {};
    size_t length = 5;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 6u);
    length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, buffer), aErrNone);
    EXPECT_EQ(type, aLINK_LOG_USER);
    EXPECT_EQ(length, 6u);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "START");
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, buffer), aErrNotFound);
    EXPECT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 256, buffer), aErrParam);
}

TEST_F(LinkLog, FullRingDropsTheOldestEntries)
{
    // Stop the threads so only this test's entries are in the ring.
    ASSERT_EQ(aLink_Stop(id), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 24), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    uint8_t bytes[30] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 22, bytes), aErrOverrun);
    EXPECT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 21, bytes), aErrNone);
    bytes[0] = 42;
    ASSERT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 10, bytes), aErrNone);
    bytes[0] = 43;
    ASSERT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 10, bytes), aErrNone);
    // 12 + 12 bytes do not fit in 24 with one byte spare: only the newest stays.
    uint8_t type = 0, out[32];
    size_t length = sizeof out;
    ASSERT_EQ(aLink_PacketDebug_Read(id, &type, &length, out), aErrNone);
    EXPECT_EQ(out[0], 43);
    EXPECT_EQ(length, 10u);
    length = sizeof out;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, out), aErrNotFound);

    // Entries that wrap round the end of the ring come back whole.
    for (uint8_t round = 0; round < 10; ++round) {
        bytes[0] = round;
        ASSERT_EQ(aLink_PacketDebug_Write(id, aLINK_LOG_USER, 7, bytes), aErrNone);
        length = sizeof out;
        ASSERT_EQ(aLink_PacketDebug_Read(id, &type, &length, out), aErrNone);
        EXPECT_EQ(length, 7u);
        EXPECT_EQ(out[0], round);
        EXPECT_EQ(out[6], 7);
    }
}

TEST_F(LinkLog, RecordsWireFormsOfSentAndReceivedPackets)
{
    ASSERT_TRUE(module.waitUntil([&] { return module.count(aPACKET_ADDRESS_FORCE_ROUTE) == 1; }));
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    module.sendPacket(4, {5, 6, 7});
    aPacket* in = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(in, nullptr);
    aPacket_Destroy(&in);
    aPacket* out = makePacket(4, {1, 2});
    ASSERT_EQ(aLink_PutPacket(id, out), aErrNone);
    aPacket_Destroy(&out);
    ASSERT_TRUE(module.waitUntil([&] { return module.count(4) == 1; }));

    uint8_t type = 0, buffer[32];
    size_t length = sizeof buffer;
    ASSERT_EQ(aLink_PacketDebug_Read(id, &type, &length, buffer), aErrNone);
    EXPECT_EQ(type, aLINK_LOG_RECEIVED);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), (std::vector<uint8_t>{4, 3, 5, 6, 7}));
    // The sent entry is logged just after the write; give the writer a moment.
    ASSERT_TRUE(module.waitUntil([&] {
        length = sizeof buffer;
        return aLink_PacketDebug_Read(id, &type, &length, buffer) == aErrNone;
    }));
    EXPECT_EQ(type, aLINK_LOG_SENT);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), (std::vector<uint8_t>{4, 2, 1, 2}));
}
