// Packet FIFOs: order and copies, the refusal of a full queue, filtered waits that see each
// packet once, destroy releasing waiters, the right to send, and many
// producers and consumers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <set>
#include <thread>
#include <vector>

#include "aPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;

aPacket* make(uint8_t address, uint8_t value)
{
    return aPacket_CreateWithData(address, 1, &value);
}

uint8_t valueOf(const aPacket* p) { return aPacket_GetData(p)[0]; }

// Puts a packet and drops the caller's copy.
void put(uint64_t fifo, uint8_t address, uint8_t value)
{
    aPacket* p = make(address, value);
    ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
    aPacket_Destroy(&p);
}

struct FifoTest : ::testing::Test {
    uint64_t fifo = aPacketFifo_Create();
    ~FifoTest() override
    {
        if (fifo != 0)
            aPacketFifo_Destroy(&fifo);
    }
};

TEST_F(FifoTest, OrderedCopiesAndBadPuts)
{
    ASSERT_NE(fifo, 0u);
    aPacket* mine = make(2, 1);
    ASSERT_EQ(aPacketFifo_Put(fifo, mine), aErrNone);
    put(fifo, 2, 2);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
    aPacket* got = aPacketFifo_Get(fifo);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, mine);
    EXPECT_EQ(valueOf(got), 1);
    aPacket_Destroy(&got);
    EXPECT_EQ(valueOf(mine), 1); // the caller's packet is still its own
    aPacket_Destroy(&mine);
    EXPECT_EQ(aPacketFifo_Put(fifo, mine), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo + 1000, nullptr), aErrParam);
    uint64_t unknown = fifo + 1000;
    EXPECT_EQ(aPacketFifo_Destroy(&unknown), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    EXPECT_GT(aPacketFifo_Create(), fifo); // sequential identifiers
}

// A full queue refuses the next packet and keeps every one it holds; a
// writer waiting for room is woken by the reader that makes it.
TEST_F(FifoTest, FullQueueRefusesAndLosesNothing)
{
    for (int i = 0; i < 1000; ++i)
        put(fifo, 2, static_cast<uint8_t>(i));
    aPacket* extra = make(2, 0xEE);
    EXPECT_EQ(aPacketFifo_Put(fifo, extra), aErrOverrun);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
    EXPECT_EQ(aPacketFifo_AwaitRoom(fifo, 1, 0), aErrTimeout);
    EXPECT_EQ(aPacketFifo_AwaitRoom(fifo, 1001, 0), aErrParam);
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        aPacket* first = aPacketFifo_Get(fifo);
        EXPECT_EQ(valueOf(first), 0);
        aPacket_Destroy(&first);
    });
    EXPECT_EQ(aPacketFifo_AwaitRoom(fifo, 1, 5000), aErrNone);
    reader.join();
    EXPECT_EQ(aPacketFifo_Put(fifo, extra), aErrNone);
    aPacket_Destroy(&extra);
    for (int i = 1; i < 1000; ++i) {
        aPacket* p = aPacketFifo_Get(fifo);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(valueOf(p), static_cast<uint8_t>(i));
        aPacket_Destroy(&p);
    }
    aPacket* last = aPacketFifo_Get(fifo);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(valueOf(last), 0xEE);
    aPacket_Destroy(&last);
}

TEST_F(FifoTest, AwaitZeroDoesNotWait)
{
    auto t0 = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(50));
    put(fifo, 2, 5);
    aPacket* p = aPacketFifo_Await(fifo, 0);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
}

struct Counting {
    std::atomic<int> calls{0};
    uint8_t wanted = 0xFF;
};
bool countingFilter(const aPacket* p, void* ref)
{
    auto* c = static_cast<Counting*>(ref);
    c->calls++;
    return valueOf(p) == c->wanted;
}

TEST_F(FifoTest, FilteredWaitCallsTheFilterOncePerPacket)
{
    put(fifo, 2, 1);
    put(fifo, 2, 2);
    Counting c;
    std::thread producer([&] {
        for (uint8_t i = 3; i < 13; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            put(fifo, 2, i);
        }
    });
    auto t0 = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, countingFilter, &c, 300), nullptr);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(290));
    producer.join();
    EXPECT_EQ(c.calls, 12);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 12u);
}

TEST_F(FifoTest, FilteredWaitReturnsAMatchThatArrivesLater)
{
    put(fifo, 2, 1);
    Counting c;
    c.wanted = 9;
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        put(fifo, 2, 8);
        put(fifo, 2, 9);
    });
    auto t0 = Clock::now();
    aPacket* p = aPacketFifo_AwaitFirst(fifo, countingFilter, &c, 5000);
    producer.join();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(valueOf(p), 9);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(2000));
    aPacket_Destroy(&p);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u); // 1 and 8 stay, in order
    p = aPacketFifo_GetFirst(fifo, [](const aPacket* q, void*) { return valueOf(q) == 8; },
                             nullptr);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
}

TEST_F(FifoTest, DrainRemovesMatchesAndCountsThem)
{
    for (uint8_t i = 0; i < 10; ++i)
        put(fifo, 2, i);
    EXPECT_EQ(aPacketFifo_DrainPackets(
                  fifo, [](const aPacket* p, void*) { return valueOf(p) % 2 == 0; }, nullptr),
              5u);
    aPacket* p = aPacketFifo_Get(fifo);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(valueOf(p), 1);
    aPacket_Destroy(&p);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, [](const aPacket*, void*) { return true; }, nullptr),
              4u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(FifoTest, DestroyReleasesWaitersPromptly)
{
    std::atomic<int> released{0};
    std::thread plain([&] {
        if (aPacketFifo_Await(fifo, 10000) == nullptr)
            released++;
    });
    Counting c;
    std::thread filtered([&] {
        if (aPacketFifo_AwaitFirst(fifo, countingFilter, &c, 10000) == nullptr)
            released++;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t id = fifo;
    auto t0 = Clock::now();
    ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    EXPECT_EQ(fifo, 0u);
    plain.join();
    filtered.join();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_EQ(released, 2);
    EXPECT_EQ(aPacketFifo_Put(id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
}

// "Wait as long as it takes" is written as the largest time-out; it must wait,
// not overflow into a deadline in the past.
TEST_F(FifoTest, LargestTimeoutsWaitForThePacket)
{
    Counting c;
    c.wanted = 5;
    aPacket* plain = nullptr;
    aPacket* filtered = nullptr;
    std::thread first([&] { plain = aPacketFifo_Await(fifo, ULONG_MAX); });
    std::thread second(
        [&] { filtered = aPacketFifo_AwaitFirst(fifo, countingFilter, &c, ULONG_MAX - 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    put(fifo, 2, 4); // the oldest, so the plain wait takes it
    put(fifo, 2, 5);
    first.join();
    second.join();
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(filtered, nullptr);
    EXPECT_EQ(valueOf(plain), 4);
    EXPECT_EQ(valueOf(filtered), 5);
    aPacket_Destroy(&plain);
    aPacket_Destroy(&filtered);
}

// The right to send: a writer takes it past an empty queue; while it sends,
// others queue and the reader waits; the reader then takes the right and
// sends the queue in order. An interrupt ends the reader's wait once, and a
// destroy waits for the send in progress.
TEST_F(FifoTest, WritersAndTheReaderTakeTurnsToSend)
{
    aPacket* first = make(2, 1);
    aPacket* second = make(2, 2);
    bool claimed = false;
    ASSERT_EQ(aPacketFifo_PutOrClaim(fifo, first, &claimed), aErrNone);
    EXPECT_TRUE(claimed);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
    ASSERT_EQ(aPacketFifo_PutOrClaim(fifo, second, &claimed), aErrNone);
    EXPECT_FALSE(claimed) << "a second sender while the first sends";
    std::atomic<bool> readerSends{false};
    std::thread reader([&] {
        EXPECT_EQ(aPacketFifo_AwaitSend(fifo, 5000), aErrNone);
        readerSends = true;
        aPacket* p = aPacketFifo_Get(fifo);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(valueOf(p), 2);
        aPacket_Destroy(&p);
        aPacketFifo_EndSend(fifo);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(readerSends) << "the reader sent while a writer held the right";
    aPacketFifo_EndSend(fifo);
    reader.join();
    EXPECT_TRUE(readerSends);
    ASSERT_EQ(aPacketFifo_PutOrClaim(fifo, first, &claimed), aErrNone);
    EXPECT_TRUE(claimed) << "the right is free again";
    aPacketFifo_EndSend(fifo);

    EXPECT_EQ(aPacketFifo_Interrupt(fifo), aErrNone);
    EXPECT_EQ(aPacketFifo_AwaitSend(fifo, 5000), aErrCancel);
    EXPECT_EQ(aPacketFifo_AwaitSend(fifo, 0), aErrTimeout) << "an interrupt ends one wait only";

    ASSERT_EQ(aPacketFifo_ClaimSend(fifo, 0), aErrNone);
    const uint64_t id = fifo;
    std::thread sender([id] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        aPacketFifo_EndSend(id);
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(90)) << "the destroy did not wait for the send";
    sender.join();
    aPacket_Destroy(&first);
    aPacket_Destroy(&second);
}

TEST_F(FifoTest, ManyProducersAndConsumersLoseAndDuplicateNothing)
{
    constexpr int kProducers = 4, kPerProducer = 200, kConsumers = 4;
    std::vector<std::thread> threads;
    std::atomic<int> consumed{0};
    std::vector<std::vector<int>> seen(kConsumers);
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            while (consumed < kProducers * kPerProducer) {
                aPacket* p = aPacketFifo_Await(fifo, 20);
                if (p == nullptr)
                    continue;
                uint8_t addr = 0;
                aPacket_GetAddress(p, &addr);
                seen[c].push_back(addr * 1000 + aPacket_GetData(p)[0] + 256 * aPacket_GetData(p)[1]);
                consumed++;
                aPacket_Destroy(&p);
            }
        });
    for (int pr = 0; pr < kProducers; ++pr)
        threads.emplace_back([&, pr] {
            for (int i = 0; i < kPerProducer; ++i) {
                uint8_t data[2] = {static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8)};
                aPacket* p = aPacket_CreateWithData(static_cast<uint8_t>(2 * (pr + 1)), 2, data);
                EXPECT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
                aPacket_Destroy(&p);
            }
        });
    for (auto& t : threads)
        t.join();
    std::set<int> all;
    for (auto& v : seen)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kProducers * kPerProducer));
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

}  // namespace
