// The module's link behaviour driven byte by byte with a clock of our own.
#include "VirtualModule.h"

#include <gtest/gtest.h>

using namespace modsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

ModuleConfig testConfig() {
    ModuleConfig c;
    c.serial = 0x1234ABCD;
    c.model = 19;
    c.address = 6;
    c.build = 0x01020304;
    c.heartbeatMs = 0;
    return c;
}

Bytes wire(const std::vector<Packet>& packets) {
    Bytes out;
    for (const Packet& p : packets) {
        Bytes w = p.wire();
        out.insert(out.end(), w.begin(), w.end());
    }
    return out;
}

const Bytes kSync{0xAD, 0x00};

}  // namespace

TEST(ModsimModule, SyncRequestsAreAnsweredWithTheAddressExactly) {
    VirtualModule m(testConfig());
    Bytes six;
    for (int i = 0; i < 6; ++i) six.insert(six.end(), kSync.begin(), kSync.end());
    m.feed(six, 0);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 0, 6, 0, 6, 0, 6, 0, 6, 0, 6, 0}));
    EXPECT_EQ(m.stats().syncRequests, 6u);
    // A sync request carrying data is not a sync request.
    m.feed({0xAD, 1, 0x00}, 1);
    EXPECT_TRUE(m.takeOutput().empty());
    EXPECT_EQ(m.stats().framingErrors, 1u);
}

TEST(ModsimModule, ForceRouteIsRecordedAndNeverAnswered) {
    VirtualModule m(testConfig());
    m.feed({0xAF, 1, 1}, 0);
    EXPECT_TRUE(m.stats().routeForced);
    m.feed({0xAF, 1, 0}, 0);
    EXPECT_FALSE(m.stats().routeForced);
    EXPECT_EQ(m.stats().forceRouteOn, 1u);
    EXPECT_EQ(m.stats().forceRouteOff, 1u);
    m.feed({0xAF, 0}, 0);        // no value
    m.feed({0xAF, 1, 7}, 0);     // not 0 or 1
    EXPECT_EQ(m.stats().framingErrors, 2u);
    EXPECT_TRUE(m.takeOutput().empty());
}

TEST(ModsimModule, HeartbeatsAlternateAndAnswersAreChecked) {
    ModuleConfig c = testConfig();
    c.heartbeatMs = 100;
    VirtualModule m(c);
    m.tick(1000);
    EXPECT_TRUE(m.takeOutput().empty()) << "no beats before the host spoke";

    m.feed({0xAF, 1, 1}, 1000);
    m.tick(1099);
    EXPECT_TRUE(m.takeOutput().empty());
    m.tick(1100);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 2, 0, 0}));  // up
    m.feed({6, 2, 0, 2}, 1150);
    EXPECT_EQ(m.stats().heartbeatsAnswered, 1u);

    m.tick(1200);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 2, 0, 1}));  // down
    m.feed({6, 2, 0, 2}, 1210);                           // answer of the wrong kind
    EXPECT_EQ(m.stats().heartbeatsWrong, 1u);
    m.tick(1300);  // deadline passes unanswered, next beat (up) goes out
    EXPECT_EQ(m.stats().heartbeatsMissed, 1u);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 2, 0, 0}));
    m.feed({6, 2, 0, 2}, 1301);
    EXPECT_EQ(m.stats().heartbeatsAnswered, 2u);
    EXPECT_EQ(m.stats().heartbeatsSent, 3u);

    // A beat nobody answers is missed at its deadline.
    m.tick(1400);
    m.takeOutput();
    m.tick(1450);
    m.tick(1500);
    EXPECT_EQ(m.stats().heartbeatsMissed, 2u);

    m.hostDisconnected();
    m.takeOutput();
    m.tick(5000);
    EXPECT_TRUE(m.takeOutput().empty());
}

TEST(ModsimModule, EchoRepeatsTheCommandAndItsBytes) {
    VirtualModule m(testConfig());
    m.feed({6, 4, 23, 0xDE, 0x00, 0xAD}, 0);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 4, 23, 0xDE, 0x00, 0xAD}));
    EXPECT_EQ(m.stats().echoes, 1u);
    Bytes big{6, 28, 23};
    for (int i = 0; i < 27; ++i) big.push_back(std::uint8_t(0x80 + i));
    m.feed(big, 1);
    EXPECT_EQ(wire(m.takeOutput()), big);
}

TEST(ModsimModule, BuildAndModelQueries) {
    VirtualModule m(testConfig());
    m.feed({6, 2, 73, 0xFF}, 0);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 6, 73, 0xFF, 1, 2, 3, 4}));
    m.feed({6, 3, 3, 0x48, 0x20}, 0);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 4, 3, 0x08, 0x00, 19}));
    // An unknown option: error reply under the plain option byte a get's
    // answer carries, so the host's filter sees it.
    m.feed({6, 3, 3, 0x40 | 63, 0x20}, 0);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 4, 3, 63, 0x80, 29}));
}

TEST(ModsimModule, MalformedInputIsRejectedAndSyncStillWorksAfterGarbage) {
    VirtualModule m(testConfig());
    m.feed({0x00}, 0);          // zero address
    m.feed({0x07}, 0);          // odd address
    m.feed({0x06, 29}, 0);      // length above 28
    EXPECT_EQ(m.stats().framingErrors, 3u);
    EXPECT_TRUE(m.takeOutput().empty());

    // Garbage that happens to start a long packet swallows the first syncs;
    // the rest of the host's six requests get through.
    VirtualModule g(testConfig());
    Bytes line{0x13, 0x55, 0x08, 0x04, 0xFF, 0xFF};  // odd, odd, then "address 8, length 4"
    for (int i = 0; i < 6; ++i) line.insert(line.end(), kSync.begin(), kSync.end());
    g.feed(line, 0);
    const Bytes out = wire(g.takeOutput());
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(Bytes(out.end() - 4, out.end()), (Bytes{6, 0, 6, 0}));
    EXPECT_EQ(g.stats().foreignPackets, 1u);
}

TEST(ModsimModule, HalfPacketIsDroppedAfterTheInterByteTimeout) {
    VirtualModule m(testConfig());
    m.feed({0x06, 20, 23}, 0);  // the rest never comes
    m.feed(kSync, 500);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 0}));
    EXPECT_EQ(m.stats().staleDropped, 1u);
}

TEST(ModsimModule, HandlersCanBeAddedReplacedAndRemoved) {
    VirtualModule m(testConfig());
    m.feed({6, 1, 42}, 0);
    EXPECT_EQ(m.stats().unhandled, 1u);
    m.setHandler(42, [](VirtualModule& mod, const Packet& p) {
        mod.send(Packet{mod.config().address, {42, std::uint8_t(p.data.size())}});
    });
    m.feed({6, 3, 42, 1, 2}, 0);
    EXPECT_EQ(wire(m.takeOutput()), (Bytes{6, 2, 42, 3}));
    m.setHandler(23, {});
    m.feed({6, 2, 23, 9}, 0);
    EXPECT_TRUE(m.takeOutput().empty());

    std::vector<Packet> relayed;
    m.setForeignHandler([&](VirtualModule&, const Packet& p) { relayed.push_back(p); });
    m.feed({8, 1, 5}, 0);
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0], (Packet{8, {5}}));
}

TEST(ModsimModule, PackedVersionUsesTheLayoutTheHostReads) {
    ModuleConfig c;
    ASSERT_TRUE(parseVersion("2.14.5", c));
    EXPECT_EQ(c.packedVersion(), 0x2E000005u);
    ASSERT_TRUE(parseVersion("2.15.5", c));
    EXPECT_EQ(c.packedVersion(), 0x2F020F05u);
    EXPECT_FALSE(parseVersion("1.2", c));
    EXPECT_FALSE(parseVersion("1.2.3x", c));
}
