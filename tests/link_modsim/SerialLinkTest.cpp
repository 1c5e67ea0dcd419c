// A packetised serial link over a pseudo-terminal against the simulated
// module: framed traffic both ways, sync, recovery from damaged frames and
// heartbeats, and a port whose other end has gone.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "ModsimHarness.h"

using namespace linkmodsim;

namespace {

using SerialLink = ModuleLinkTest<PtyModule>;

TEST_F(SerialLink, FramedEchoesUpToTheLargestFrame)
{
    open();
    for (std::uint8_t size : {0, 1, 5, 13, 26}) {
        std::vector<std::uint8_t> payload(size);
        for (std::uint8_t i = 0; i < size; ++i)
            payload[i] = std::uint8_t(i % 3 == 0 ? 0 : 0xA0 + i);  // zeros are what stuffing is for
        EXPECT_TRUE(echo(id, payload)) << "payload of " << int(size) << " bytes";
    }
    EXPECT_EQ(module->session.badFrames(), 0u);
    EXPECT_EQ(module->session.stats().framingErrors, 0u);
    EXPECT_TRUE(waitUntil([&] { return module->session.stats().forceRouteOn == 1; }));
}

// 28 data bytes do not fit a frame: the packet is not sent at all (rather than
// cut short) and the link goes on.
TEST_F(SerialLink, PacketTooLargeForAFrameIsDroppedWhole)
{
    open();
    std::vector<std::uint8_t> full(27, 0x11);
    ASSERT_EQ(putEcho(id, full), aErrNone);
    EXPECT_TRUE(echo(id, {3, 4}));
    EXPECT_EQ(module->session.badFrames(), 0u);
    EXPECT_EQ(module->session.stats().echoes, 1u);
}

TEST_F(SerialLink, SyncCompletes)
{
    open();
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    // Requests still queued when the answers have come are dropped by the sync.
    EXPECT_GE(module->session.stats().syncRequests, 2u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

// A damaged frame is a read error for the link (status 6); the next quiet
// moment starts a sync and the link is back.
TEST_F(SerialLink, DamagedFrameSetsIoErrorThenResynchronises)
{
    open();
    StatusWatch watch(id);
    modsim::FaultConfig corrupt;
    corrupt.corruptEvery = 1;
    module->session.setFaults(corrupt);
    ASSERT_EQ(putEcho(id, {0x21}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.faultStats().corrupted > 0; }));
    module->session.setFaults({});
    ASSERT_TRUE(waitUntil([&] { return watch.sawAnyOf({aLINK_STATUS_IO_ERROR}); }));
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    aLink_DrainPackets(id, [](const aPacket*, void*) { return true; }, nullptr);
    EXPECT_TRUE(echo(id, {0x22}));
}

TEST_F(SerialLink, StrayBytesBetweenFramesAreSurvived)
{
    open();
    StatusWatch watch(id);
    modsim::FaultConfig garbage;
    garbage.insertEvery = 1;
    module->session.setFaults(garbage);
    ASSERT_EQ(putEcho(id, {0x31}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.faultStats().inserted > 0; }));
    module->session.setFaults({});
    // Only once the damaged frame has been seen is the link's recovery the
    // one under test.
    ASSERT_TRUE(waitUntil([&] {
        return watch.sawAnyOf({aLINK_STATUS_SYNCING, aLINK_STATUS_IO_ERROR,
                               aLINK_STATUS_PACKET_ERROR});
    }));
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    aLink_DrainPackets(id, [](const aPacket*, void*) { return true; }, nullptr);
    EXPECT_TRUE(echo(id, {0x32}));
}

TEST_F(SerialLink, HeartbeatsAreAnswered)
{
    modsim::ModuleConfig config;
    config.heartbeatMs = 40;
    open(config);
    ASSERT_TRUE(waitUntil([&] { return module->session.stats().heartbeatsAnswered >= 4; }, 3000));
    EXPECT_EQ(module->session.stats().heartbeatsWrong, 0u);
    EXPECT_EQ(module->session.stats().heartbeatsMissed, 0u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(SerialLink, LostFramesDoNotDisturbTheOthers)
{
    open();
    modsim::FaultConfig lossy;
    lossy.dropEvery = 2;
    module->session.setFaults(lossy);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(putEcho(id, {std::uint8_t(i + 1)}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return module->session.stats().echoes == 10u; }));
    const auto replies = collect(id, 100);
    EXPECT_EQ(replies.size(), 5u);
    for (size_t i = 1; i < replies.size(); ++i)
        EXPECT_GT(replies[i][1], replies[i - 1][1]);
    module->session.setFaults({});
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(echo(id, {0x40}));
}

TEST_F(SerialLink, ResetReopensThePort)
{
    open();
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(echo(id, {5}));
}

// A port whose other end has gone (an adapter unplugged, here the
// pseudo-terminal's master closed) reports input for ever and reads nothing:
// the idle link must not spin a core on it.
TEST_F(SerialLink, HungUpPortDoesNotSpin)
{
    open();
    ASSERT_TRUE(echo(id, {6}));
    module.reset();
    auto cpuMs = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_LT(cpuMs() - before, 100.0) << "CPU milliseconds in 400 ms of a hung-up port";
}

TEST(SerialLinkCreate, MissingPortAndUnsupportedRateFail)
{
    EXPECT_EQ(aLink_CreateSerial(kSerial, "/nonexistent/tty", 115200), 0);
    PtyModule module;
    EXPECT_EQ(aLink_CreateSerial(kSerial, module.server.slavePath().c_str(), 12345), 0);
}

}  // namespace
