// Fault injection on the module's outgoing packets.
#include "FaultInjector.h"
#include "ModuleSession.h"

#include <gtest/gtest.h>

using namespace modsim;
using Bytes = std::vector<std::uint8_t>;

namespace {
Bytes packet(std::uint8_t n) { return {2, 1, n}; }
}  // namespace

TEST(ModsimFaults, ParseItems) {
    FaultConfig c;
    EXPECT_TRUE(parseFault("drop=3", c));
    EXPECT_TRUE(parseFault("corrupt=2", c));
    EXPECT_TRUE(parseFault("insert=5", c));
    EXPECT_TRUE(parseFault("delay=40", c));
    EXPECT_TRUE(parseFault("silent-after=7", c));
    EXPECT_TRUE(parseFault("reset=9", c));
    EXPECT_TRUE(parseFault("silent", c));
    EXPECT_EQ(c.dropEvery, 3u);
    EXPECT_EQ(c.corruptEvery, 2u);
    EXPECT_EQ(c.insertEvery, 5u);
    EXPECT_EQ(c.delayMs, 40u);
    EXPECT_EQ(c.silentAfter, 7u);
    EXPECT_EQ(c.resetEvery, 9u);
    EXPECT_TRUE(c.silent);
    EXPECT_FALSE(parseFault("drop=", c));
    EXPECT_FALSE(parseFault("drop=x", c));
    EXPECT_FALSE(parseFault("explode=1", c));
}

TEST(ModsimFaults, DropCorruptInsertCountPackets) {
    FaultInjector f;
    FaultConfig c;
    c.dropEvery = 3;
    c.corruptEvery = 2;
    c.insertEvery = 4;
    f.configure(c);
    for (std::uint8_t i = 1; i <= 6; ++i) f.submit(packet(i), 0);
    // 1 plain, 2 corrupt, 3 dropped, 4 corrupt + inserted, 5 plain, 6 dropped
    EXPECT_EQ(f.release(0), (Bytes{2, 1, 1, 3, 1, 2, 1, 3, 1, 4, 2, 1, 5}));
    EXPECT_EQ(f.stats().dropped, 2u);
    EXPECT_EQ(f.stats().corrupted, 2u);
    EXPECT_EQ(f.stats().inserted, 1u);
}

TEST(ModsimFaults, DelayKeepsOrderAndSilenceSwallows) {
    FaultInjector f;
    FaultConfig c;
    c.delayMs = 50;
    c.silentAfter = 2;
    f.configure(c);
    f.submit(packet(1), 100);
    f.submit(packet(2), 120);
    f.submit(packet(3), 130);
    EXPECT_TRUE(f.release(149).empty());
    EXPECT_EQ(f.release(150), packet(1));
    EXPECT_EQ(f.release(1000), packet(2));
    EXPECT_EQ(f.stats().silenced, 1u);
}

TEST(ModsimFaults, ResetStopsReleaseAfterItsPacket) {
    FaultInjector f;
    FaultConfig c;
    c.resetEvery = 2;
    f.configure(c);
    f.submit(packet(1), 0);
    f.submit(packet(2), 0);
    f.submit(packet(3), 0);
    EXPECT_EQ(f.release(0), (Bytes{2, 1, 1, 2, 1, 2}));
    EXPECT_TRUE(f.takeReset());
    EXPECT_FALSE(f.takeReset());
    f.clear();  // the connection went away with what was still queued
    EXPECT_TRUE(f.release(0).empty());
}

TEST(ModsimFaults, SessionAppliesFaultsToFramedOutput) {
    ModuleConfig mc;
    mc.address = 4;
    ModuleSession s(mc, Framing::Raw);
    FaultConfig c;
    c.dropEvery = 2;
    s.setFaults(c);
    const Bytes syncs{0xAD, 0, 0xAD, 0, 0xAD, 0};
    s.input(syncs.data(), syncs.size(), 0);
    EXPECT_EQ(s.output(0), (Bytes{4, 0, 4, 0}));
    EXPECT_EQ(s.faultStats().dropped, 1u);
}
