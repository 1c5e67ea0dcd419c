// Stream keys, wildcard masks, sample parsing and the callback queue, without
// a module: the pieces the link's stream filter is made of.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "Link.h"
#include "LocklessQueue.h"
#include "aPacket.h"

using Tarvelin::Tessaluma::Link;
using Tarvelin::Tessaluma::LocklessQueue_SPSC;

namespace {

using PacketPtr = std::unique_ptr<aPacket, void (*)(aPacket*)>;

PacketPtr makePacket(uint8_t address, std::vector<uint8_t> data)
{
    return PacketPtr(aPacket_CreateWithData(address, uint8_t(data.size()), data.data()),
                     [](aPacket* p) { aPacket_Destroy(&p); });
}

// A stream sample as a module sends it: command, option, index | 0x40, type,
// [sub-index], timestamp high and low halves, value, trailer.
std::vector<uint8_t> sample(uint8_t type, uint32_t value, int subindex = -1, uint8_t trailer = 0)
{
    std::vector<uint8_t> d = {3, 12, 0x40, type};
    if (subindex >= 0)
        d.push_back(uint8_t(subindex));
    for (uint8_t b : {0x00, 0x00, 0x01, 0x02, 0x10, 0x20, 0x30, 0x40})
        d.push_back(b);
    const unsigned width = (type - 1) % 4 == 0 ? 1 : (type - 1) % 4 == 1 ? 2 : 4;
    for (unsigned i = width; i-- > 0;)
        d.push_back(uint8_t(value >> (8 * i)));
    d.push_back(trailer);
    return d;
}

TEST(StreamKeys, ElementsAndWildcardMasks)
{
    const uint64_t key = Link::createStreamKey(4, 3, 12, 2, 7);
    EXPECT_EQ(key, 0x0704030C02ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE), 4);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_COMMAND), 3);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 12);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 2);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 7);

    EXPECT_EQ(Link::streamWildcardMask(0), 0xFFull);
    EXPECT_EQ(Link::streamWildcardMask(6), 0xFFFFFFull);
    EXPECT_EQ(Link::streamWildcardMask(7), 0xFF00000000ull);
    EXPECT_EQ(Link::streamWildcardMask(14), 0xFF00FFFFFFull);
    for (unsigned n = 0; n < Link::STREAM_WILDCARD_MASKS; ++n)
        EXPECT_EQ(Link::streamWildcardMask(n) & 0xFF000000ull, 0u) << "the module is never a wildcard";
}

TEST(StreamSamples, EveryTypeParsesOnlyAtItsOwnLength)
{
    const struct {
        uint8_t type;
        uint32_t value;
        int subindex;
    } cases[] = {{1, 0xAB, -1}, {2, 0xABCD, -1}, {3, 0xDEADBEEF, -1}, {5, 0x12, 9}, {6, 0x1234, 9}, {7, 0x12345678, 9}};
    for (const auto& c : cases) {
        std::vector<uint8_t> data = sample(c.type, c.value, c.subindex);
        auto packet = makePacket(4, data);
        uint64_t timestamp = 0;
        uint32_t value = 0;
        uint8_t subindex = 0xEE;
        ASSERT_EQ(Link::getStreamPacketType(packet.get()), c.type);
        ASSERT_EQ(Link::getStreamSample(packet.get(), &timestamp, &value, &subindex), aErrNone) << int(c.type);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(timestamp, 0x0000010210203040ull);
        EXPECT_EQ(subindex, c.subindex < 0 ? 0 : c.subindex);
        uint32_t high = 0, low = 0;
        Link::getTimestampParts(timestamp, &high, &low);
        EXPECT_EQ(high, 0x0102u);
        EXPECT_EQ(low, 0x10203040u);

        data.insert(data.end() - 1, 0);  // one byte too many
        EXPECT_EQ(Link::getStreamSample(makePacket(4, data).get(), nullptr, nullptr, nullptr), aErrPacket);
    }
    // A series packet (continue bit) is a byte-array stream, never a sample.
    auto series = makePacket(4, sample(3, 1, -1, 0x80));
    EXPECT_EQ(Link::getStreamPacketType(series.get()), Link::STREAM_PACKET_BYTES);
    EXPECT_EQ(Link::getStreamSample(series.get(), nullptr, nullptr, nullptr), aErrSize);
    // A get reply (option with the get bit, no stream bit) is no stream packet at all.
    auto reply = makePacket(4, {3, 0x4C, 0x00, 1, 2, 3, 4});
    EXPECT_EQ(Link::getStreamPacketType(reply.get()), Link::STREAM_PACKET_INVALID);
    EXPECT_FALSE(Link::isStreamSample(makePacket(4, {3, 12, 0x40, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).get()))
        << "type byte 9 is no sample type";
    EXPECT_TRUE(Link::isStreamSample(makePacket(4, sample(3, 1)).get()));
}

TEST(CallbackQueue, HoldsOneLessThanItsCapacity)
{
    LocklessQueue_SPSC<int, 500> queue;
    int pushed = 0;
    while (queue.push(int(pushed)))
        ++pushed;
    EXPECT_EQ(pushed, 499);
    int first = -1;
    ASSERT_TRUE(queue.pop(first));
    EXPECT_EQ(first, 0);
    EXPECT_TRUE(queue.push(499)) << "a popped slot is free again";
    EXPECT_FALSE(queue.push(500));
}

// One producer and one consumer at full speed: every element arrives once,
// in order (ThreadSanitizer checks the memory ordering).
TEST(CallbackQueue, ProducerAndConsumerThreadsKeepOrder)
{
    constexpr int kCount = 200000;
    LocklessQueue_SPSC<std::unique_ptr<int>, 64> queue;
    std::thread producer([&] {
        for (int i = 0; i < kCount;) {
            auto element = std::make_unique<int>(i);
            if (queue.push(std::move(element)))
                ++i;
            else
                std::this_thread::yield();
        }
    });
    int expected = 0;
    while (expected < kCount) {
        std::unique_ptr<int> element;
        if (!queue.pop(element)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(*element, expected);
        ++expected;
    }
    producer.join();
    EXPECT_TRUE(queue.empty());
}

}  // namespace
