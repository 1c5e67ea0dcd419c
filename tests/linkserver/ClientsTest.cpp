// Clients of one served module: several processes at once, each getting
// exactly its own answers in order, and a byte-array set that reaches the
// module in one piece while another client keeps talking.
#include "Harness.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "VirtualModule.h"
#include "aServerKeys.h"

using namespace srvtest;

namespace {

TEST(LinkServerClients, TwoThenEightProcessesGetOnlyTheirOwnAnswersInOrder)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    unsigned expected = 0;
    for (int clients : {2, 8}) {
        const int count = 150;
        const std::string start = StartSoon();
        std::vector<std::unique_ptr<testsupport::BackgroundProcess>> probes;
        for (int i = 0; i < clients; ++i)
            probes.push_back(Probe({"gets", std::to_string(served.port), std::to_string(count),
                                    std::to_string(i + 1), start}));
        for (int i = 0; i < clients; ++i)
            EXPECT_EQ(LastLine(*probes[size_t(i)]), "ok " + std::to_string(count))
                << clients << " clients, client " << i;
        expected += unsigned(clients * count);
    }
    const unsigned echoes = served.module.session.stats().echoes;
    EXPECT_EQ(echoes, expected) << "every request reached the module once";
    EXPECT_TRUE(EchoRoundTrip(served.client, {0xEE})) << "the server's own client still works";
}

TEST(LinkServerClients, AThreePacketSetArrivesBackToBackWithOneReply)
{
    REQUIRE_NAMESPACE();
    ServedModule served;
    ASSERT_TRUE(served.ok());
    auto arrivals = RecordArrivals(served.module);
    int32_t setter = Connect(served.port);
    int32_t talker = Connect(served.port);
    ASSERT_NE(setter, 0);
    ASSERT_NE(talker, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> talks{0}, wrong{0};
    std::thread chatter([&] {
        for (std::uint8_t i = 0; !stop; ++i)
            (EchoRoundTrip(talker, {i}) ? talks : wrong)++;
    });
    Bytes first{kCmdSet, 0x85, 0x20}, second = first, last = first;
    first.insert(first.end(), 24, 0x11);
    first.push_back(0x80);
    second.insert(second.end(), 24, 0x22);
    second.push_back(0x81);
    last.insert(last.end(), 10, 0x33);
    last.push_back(0x02);
    for (const Bytes* packet : {&first, &second, &last}) {
        while (talks < 3)
            std::this_thread::yield();
        talks = 0;
        ASSERT_TRUE(Put(setter, kAddress, *packet));
    }
    const Bytes reply = Next(setter);
    EXPECT_EQ(reply, (Bytes{kAddress, kCmdSet, 0xC5, 0x00}));
    EXPECT_TRUE(Next(setter, 300).empty()) << "one reply for the set";
    stop = true;
    chatter.join();
    EXPECT_EQ(wrong, 0);

    std::lock_guard<std::mutex> lock(arrivals->mutex);
    const auto& seen = arrivals->commands;
    const auto at = std::find(seen.begin(), seen.end(), kCmdSet);
    ASSERT_LE(std::distance(at, seen.end()), std::ptrdiff_t(seen.size()));
    ASSERT_GE(std::distance(at, seen.end()), 3);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), kCmdSet), 3);
    EXPECT_TRUE(at[1] == kCmdSet && at[2] == kCmdSet) << "the set was split by another client";
    EXPECT_GT(std::count(seen.begin(), at, kCmdDebug), 0) << "the other client talked meanwhile";
    aLink_Destroy(&setter);
    aLink_Destroy(&talker);
}

// An echo answer whose first payload byte is the caller's own.
bool AnswerFor(const aPacket* packet, void* caller)
{
    std::uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    const std::uint8_t* data = aPacket_GetData(packet);
    return length == 4 && data[0] == kCmdDebug && data[1] == *static_cast<std::uint8_t*>(caller);
}

// Callers on one encrypted client link each keep a few echoes in flight, so
// that their own writes to the server race each other and the link's output
// thread: every caller gets every answer, in the order it asked.
TEST(LinkServerClients, CallersSharingOneEncryptedLinkKeepTheirOrder)
{
    REQUIRE_NAMESPACE();
    aServerKeys_SetEncryptLoopback(true);
    ServedModule served;
    ASSERT_TRUE(served.ok());
    int32_t link = Connect(served.port);
    ASSERT_NE(link, 0);
    const int callers = 4, rounds = 100, inFlight = 3;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c)
        threads.emplace_back([&, c] {
            std::uint8_t caller = std::uint8_t(c);
            for (int sent = 0, expected = 0; sent < rounds * inFlight;) {
                for (int i = 0; i < inFlight; ++i, ++sent)
                    wrong += !Put(link, kAddress,
                                  {kCmdDebug, caller, std::uint8_t(sent >> 8), std::uint8_t(sent)});
                for (int i = 0; i < inFlight; ++i, ++expected) {
                    aPacket* answer = aLink_AwaitFirst(link, AnswerFor, &caller, 2000);
                    const std::uint8_t* data = answer ? aPacket_GetData(answer) : nullptr;
                    wrong += data == nullptr || data[2] * 256 + data[3] != expected;
                    aPacket_Destroy(&answer);
                }
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(served.module.session.stats().echoes, unsigned(callers * rounds * inFlight));
    aLink_Destroy(&link);
    aServerKeys_SetEncryptLoopback(false);
}

}  // namespace
