// COBS framing: frames at the 27-byte limit, refused 28-byte packets, bad CRC,
// bad length, overlong and empty frames, and the CRC-8 check values.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "aCRC8.h"
#include "aCobs.h"
#include "aStream.h"

namespace {

struct Wire {
    std::deque<uint8_t> in;
    std::vector<uint8_t> out;
    int writes = 0;
};

aErr wGet(uint8_t* b, void* r)
{
    auto* w = static_cast<Wire*>(r);
    if (w->in.empty())
        return aErrNotReady;
    *b = w->in.front();
    w->in.pop_front();
    return aErrNone;
}
aErr wPut(uint8_t b, void* r)
{
    static_cast<Wire*>(r)->out.push_back(b);
    return aErrNone;
}
aErr wWrite(const uint8_t* b, size_t n, void* r)
{
    auto* w = static_cast<Wire*>(r);
    w->writes++;
    w->out.insert(w->out.end(), b, b + n);
    return aErrNone;
}

// The frame a sender would put on the line for these wire bytes.
std::vector<uint8_t> frameOf(std::vector<uint8_t> bytes)
{
    bytes.push_back(aCRC8_Compute(bytes.data(), bytes.size()));
    std::vector<uint8_t> out(aCOBS_MAX_ENCODED(bytes.size()) + 1);
    size_t n = aCobs_Encode(bytes.data(), bytes.size(), out.data(), out.size());
    out.resize(n);
    out.push_back(0);
    return out;
}

std::vector<uint8_t> packetBytes(uint8_t address, uint8_t length)
{
    std::vector<uint8_t> p{address, length};
    for (uint8_t i = 0; i < length; ++i)
        p.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : i)); // zeros to stuff
    return p;
}

struct CobsTest : ::testing::Test {
    Wire wire;
    aStream* s = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(aStream_CreateCobsEncoding(wGet, wPut, wWrite, nullptr, &wire, &s), aErrNone);
    }
    void TearDown() override { aStream_Destroy(&s); }

    void feed(const std::vector<uint8_t>& b) { wire.in.insert(wire.in.end(), b.begin(), b.end()); }

    // Reads until the line is empty: the bytes handed out and the errors seen
    // other than "not ready".
    std::vector<uint8_t> drain(std::vector<aErr>* errors)
    {
        // The byte that completes a frame reports "not ready"; its bytes come
        // with the following reads, so stop at the second idle read.
        std::vector<uint8_t> got;
        int idle = 0;
        for (;;) {
            uint8_t b = 0;
            aErr err = aStream_Read(s, &b, 1);
            idle = (err == aErrNotReady && wire.in.empty()) ? idle + 1 : 0;
            if (idle == 2)
                return got;
            if (err == aErrNone)
                got.push_back(b);
            else if (err != aErrNotReady)
                errors->push_back(err);
        }
    }
};

TEST(Crc8, CheckValues)
{
    EXPECT_EQ(aCRC8_Compute(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xA1);
    EXPECT_EQ(aCRC8_Compute(reinterpret_cast<const uint8_t*>("abc"), 3), 0x42);
    EXPECT_EQ(aCRC8_Compute(nullptr, 0), 0);
}

TEST(Cobs, RoundTripsLongRunsAndZeros)
{
    std::vector<uint8_t> data(600, 0x55);
    data[0] = 0;
    data[300] = 0;
    data.back() = 0;
    std::vector<uint8_t> enc(aCOBS_MAX_ENCODED(data.size()));
    size_t n = aCobs_Encode(data.data(), data.size(), enc.data(), enc.size());
    ASSERT_GT(n, data.size());
    for (size_t i = 0; i < n; ++i)
        ASSERT_NE(enc[i], 0) << i;
    EXPECT_EQ(aCobs_Decode(enc.data(), n, enc.data()), data.size());
    enc.resize(data.size());
    EXPECT_EQ(enc, data);
    const uint8_t pastEnd[] = {5, 1, 2};
    uint8_t out[4];
    EXPECT_EQ(aCobs_Decode(pastEnd, 3, out), 0u);
    EXPECT_EQ(aCobs_Encode(data.data(), data.size(), enc.data(), 10), 0u);
}

TEST_F(CobsTest, PacketOf27DataBytesCrossesIntact)
{
    auto packet = packetBytes(4, 27);
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    ASSERT_EQ(wire.writes, 1);
    ASSERT_EQ(wire.out.size(), 32u); // 31 encoded bytes and the delimiter
    EXPECT_EQ(wire.out.back(), 0);
    feed(wire.out);
    std::vector<aErr> errors;
    EXPECT_EQ(drain(&errors), packet);
    EXPECT_TRUE(errors.empty());
}

TEST_F(CobsTest, PacketOf28DataBytesIsRefusedNotTruncated)
{
    auto packet = packetBytes(4, 28);
    EXPECT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrSize);
    EXPECT_TRUE(wire.out.empty());
    auto small = packetBytes(6, 2);
    EXPECT_EQ(aStream_Write(s, small.data(), small.size()), aErrNone);
    EXPECT_EQ(wire.out, frameOf(small));
}

TEST_F(CobsTest, PacketsSpanningWritesAndRejectedBytes)
{
    auto packet = packetBytes(8, 5);
    ASSERT_EQ(aStream_Write(s, packet.data(), 3), aErrNone);
    ASSERT_EQ(aStream_Write(s, packet.data() + 3, packet.size() - 3), aErrNone);
    EXPECT_EQ(wire.out, frameOf(packet));
    wire.out.clear();
    const uint8_t bad[] = {0, 0}; // address 0 is refused by the assembler
    EXPECT_EQ(aStream_Write(s, bad, 2), aErrPacket);
    EXPECT_TRUE(wire.out.empty());
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(wire.out, frameOf(packet));
}

TEST_F(CobsTest, BadFramesFailAndTheNextFrameStillArrives)
{
    auto good = packetBytes(2, 4);
    auto badCrc = frameOf(good);
    badCrc[5] ^= 0x01; // a data byte: 2 becomes 3
    // Length byte says 3, but only 2 data bytes follow (the CRC is right).
    auto badLength = frameOf({4, 3, 9, 9});
    std::vector<uint8_t> overlong(40, 0x11);
    overlong.push_back(0);
    for (const auto& bad : {badCrc, badLength, overlong}) {
        feed(bad);
        feed(frameOf(good));
        std::vector<aErr> errors;
        EXPECT_EQ(drain(&errors), good);
        EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
    }
}

TEST_F(CobsTest, EmptyFramesAreIgnored)
{
    auto good = packetBytes(2, 0);
    feed({0, 0, 0});
    feed(frameOf(good));
    std::vector<aErr> errors;
    EXPECT_EQ(drain(&errors), good);
    EXPECT_TRUE(errors.empty());
}

TEST_F(CobsTest, PutBypassesFraming)
{
    const uint8_t b = 0x42;
    EXPECT_EQ(aStream_Write(s, &b, 1), aErrNone);
    EXPECT_EQ(wire.out, std::vector<uint8_t>{0x42});
}

}  // namespace
