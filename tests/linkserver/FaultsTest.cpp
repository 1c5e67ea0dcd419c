// What clients and modules do wrong, and how the server keeps every other
// conversation right: malformed frames, force route, broken and abandoned
// byte-array series, answers that never come or come late, one-byte answers.
#include "Harness.h"

#include <czmq.h>

#include <chrono>
#include <thread>

#include "VirtualModule.h"
#include "aLinkDebug.h"

using namespace srvtest;

namespace {

constexpr std::uint8_t kCmdNoAnswer = 0x71;
constexpr std::uint8_t kCmdShortAnswer = 0x72;

// The module answers a set once its last packet is in, and counts packets.
std::shared_ptr<std::atomic<int>> CountSets(linkmodsim::TcpModule& module)
{
    auto count = std::make_shared<std::atomic<int>>(0);
    module.session.withModule([count](modsim::VirtualModule& m) {
        m.setHandler(kCmdSet, [count](modsim::VirtualModule& vm, const modsim::Packet& p) {
            ++*count;
            if ((p.data.back() & 0x80) == 0)
                vm.send({p.address, {kCmdSet, 0xC5, 0x00}});
        });
    });
    return count;
}

TEST(LinkServerFaults, MalformedFramesAndForceRouteNeverReachTheModule)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    RawClient raw(served.port);
    raw.send({kAddress});                                   // under 2 bytes
    raw.send(Bytes(31, kAddress));                          // over 30 bytes
    raw.send({kAddress, 5, kCmdDebug});                     // length byte says more
    raw.send({0xAF, 1, 1});                                 // force route on
    raw.send({0xAF, 1, 0});                                 // force route off
    zstr_sendm(raw.socket(), "two");                          // a message of two frames
    zstr_send(raw.socket(), "frames");
    raw.send({kAddress, 2, kCmdDebug, 0x42});
    EXPECT_EQ(raw.receive(), (Bytes{kAddress, 2, kCmdDebug, 0x42})) << "only the good request is answered";
    EXPECT_TRUE(raw.receive().empty());

    int32_t other = Connect(served.port);
    ASSERT_NE(other, 0);
    EXPECT_EQ(aLink_ForceRoute(other, 0), aErrNone);
    EXPECT_TRUE(EchoRoundTrip(other, {1, 2, 3}));
    aLink_Destroy(&other);
    const modsim::ModuleStats stats = served.module.session.stats();
    EXPECT_EQ(stats.forceRouteOn, 1u) << "only the served link's own";
    EXPECT_EQ(stats.forceRouteOff, 0u);
    EXPECT_EQ(stats.framingErrors, 0u);
    EXPECT_EQ(stats.echoes, 2u);
}

TEST(LinkServerFaults, BrokenAndAbandonedByteArraySeries)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    auto seen = CountSets(served.module);
    int32_t client = Connect(served.port);
    ASSERT_NE(client, 0);

    // Sequence 2 after 0: the series is swallowed, nothing reaches the module.
    for (const Bytes& packet : {SetPacket(0, true), SetPacket(2, true), SetPacket(3, false, 5)})
        ASSERT_TRUE(Put(client, kAddress, packet));
    EXPECT_TRUE(Next(client, 1200).empty());
    EXPECT_EQ(*seen, 0);
    // The client is not locked out: other requests pass its stale pool, and
    // a new series starts over.
    EXPECT_TRUE(EchoRoundTrip(client, {9}));
    for (const Bytes& packet : {SetPacket(0, true), SetPacket(1, true), SetPacket(2, false, 5)})
        ASSERT_TRUE(Put(client, kAddress, packet));
    EXPECT_EQ(Next(client), (Bytes{kAddress, kCmdSet, 0xC5, 0x00}));
    EXPECT_EQ(*seen, 3);

    // A client that goes away mid-series: its pool expires two seconds after
    // its last packet, while the other clients carry on, and its packets
    // never reach the module.
    {
        RawClient vanishing(served.port);
        Bytes first{kAddress, 28};
        const Bytes data = SetPacket(0, true);
        first.insert(first.end(), data.begin(), data.end());
        vanishing.send(first);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string trace = CaptureStdout([&] {
        aLinkDebug_Set(1, 0x04);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2300);
        for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
            const Bytes reply = Put(client, kAddress, {3, 0x49, 0x20}) ? Next(client, 3000) : Bytes{};
            if (reply.size() != 8) {
                ADD_FAILURE() << "get " << i << ": " << reply.size() << " bytes back";
                break;
            }
        }
        aLinkDebug_Set(0, 0);
    });
    size_t stale = 0;
    for (size_t at = trace.find("setUEIBytes is stale"); at != std::string::npos;
         at = trace.find("setUEIBytes is stale", at + 1))
        ++stale;
    EXPECT_EQ(stale, 1u) << trace.substr(0, 2000);
    EXPECT_EQ(*seen, 3);
    aLink_Destroy(&client);
}

TEST(LinkServerFaults, LongAndUnpooledSeriesKeepEveryAnswerWithItsClient)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    auto seen = CountSets(served.module);
    int32_t setter = Connect(served.port);
    int32_t other = Connect(served.port);
    ASSERT_NE(setter, 0);
    ASSERT_NE(other, 0);

    // 130 packets: the sequence number wraps from 127 to 0 inside the set.
    for (int i = 0; i < 130; ++i)
        ASSERT_TRUE(Put(setter, kAddress, SetPacket(std::uint8_t(i & 0x7F), i < 129)));
    EXPECT_EQ(Next(setter, 3000), (Bytes{kAddress, kCmdSet, 0xC5, 0x00}));
    EXPECT_EQ(*seen, 130);

    // A middle packet that is not pooled (27 data bytes) draws no answer and
    // must not take the next client's.
    ASSERT_TRUE(Put(setter, kAddress, SetPacket(0, true, 23)));
    EXPECT_TRUE(EchoRoundTrip(other, {0x27}));
    EXPECT_TRUE(Next(setter, 200).empty());

    // A series whose last packet goes to the force-route address: no answer
    // is owed for it, so the setter must hold no place in the reply order
    // that the next client's answer would fill.
    RawClient raw(served.port);
    const std::pair<std::uint8_t, Bytes> series[] = {{kAddress, SetPacket(0, true)}, {0xAF, SetPacket(1, false, 5)}};
    for (const auto& [address, data] : series) {
        Bytes frame{address, std::uint8_t(data.size())};
        frame.insert(frame.end(), data.begin(), data.end());
        raw.send(frame);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(EchoRoundTrip(other, {0x28}));
    EXPECT_TRUE(raw.receive().empty());
    aLink_Destroy(&setter);
    aLink_Destroy(&other);
}

TEST(LinkServerFaults, AnUnansweredRequestCostsOnlyItsOwnReply)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    served.module.session.withModule([](modsim::VirtualModule& m) {
        m.setHandler(kCmdNoAnswer, [](modsim::VirtualModule&, const modsim::Packet&) {});
        m.setHandler(kCmdShortAnswer, [](modsim::VirtualModule& vm, const modsim::Packet& p) {
            vm.send({p.address, {kCmdShortAnswer}});
        });
    });
    int32_t asker = Connect(served.port);
    int32_t other = Connect(served.port);
    ASSERT_NE(asker, 0);
    ASSERT_NE(other, 0);

    // The module never answers: the asker's own wait ends it; the other
    // client's request, whose answer cannot be taken for the asker's, does
    // not wait behind it.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Put(asker, kAddress, {kCmdNoAnswer, 1}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(Put(other, kAddress, Echo({0x0E})));
    EXPECT_TRUE(Next(asker, 1000).empty());
    EXPECT_EQ(Next(other, 3000), EchoAnswer({0x0E}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2800));

    // An answer that comes late, while the server still waits for it, goes
    // to the client that asked, not to the next request's client.
    ASSERT_TRUE(Put(asker, kAddress, {kCmdNoAnswer, 2}));
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    ASSERT_TRUE(Put(other, kAddress, Echo({0x0F})));
    served.module.session.pushPacket({kAddress, {kCmdNoAnswer, 2, 0xAA}});
    EXPECT_EQ(Next(other), EchoAnswer({0x0F}));
    EXPECT_EQ(Next(asker), (Bytes{kAddress, kCmdNoAnswer, 2, 0xAA}));
    EXPECT_TRUE(EchoRoundTrip(asker, {0x0A}));
    EXPECT_TRUE(EchoRoundTrip(other, {0x0B}));

    // An answer of one data byte is an answer, not a server command.
    ASSERT_TRUE(Put(asker, kAddress, {kCmdShortAnswer, 5}));
    EXPECT_EQ(Next(asker), (Bytes{kAddress, kCmdShortAnswer}));
    EXPECT_TRUE(EchoRoundTrip(other, {0x0C}));
    EXPECT_TRUE(EchoRoundTrip(asker, {0x0D}));
    aLink_Destroy(&asker);
    aLink_Destroy(&other);
}

}  // namespace
