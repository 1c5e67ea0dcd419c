// The serial-link framing: CRC check values, stuffing round trips and the
// frames a receiver has to throw away.
#include "Cobs.h"

#include <gtest/gtest.h>

#include <string>

using namespace modsim;
using Bytes = std::vector<std::uint8_t>;

namespace {
Bytes feedAll(FrameDecoder& d, const Bytes& line, int* frames = nullptr) {
    Bytes last;
    for (std::uint8_t b : line)
        if (auto w = d.push(b)) {
            last = *w;
            if (frames) ++*frames;
        }
    return last;
}
}  // namespace

TEST(ModsimCobs, Crc8CheckValues) {
    const std::string a = "123456789", b = "abc";
    EXPECT_EQ(crc8Maxim(reinterpret_cast<const std::uint8_t*>(a.data()), a.size()), 0xA1);
    EXPECT_EQ(crc8Maxim(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()), 0x42);
    EXPECT_EQ(crc8Maxim(nullptr, 0), 0x00);
}

TEST(ModsimCobs, StuffingKnownVectorsAndRoundTrip) {
    EXPECT_EQ(cobsEncode({0x00}), (Bytes{0x01, 0x01}));
    EXPECT_EQ(cobsEncode({0x11, 0x22, 0x00, 0x33}), (Bytes{0x03, 0x11, 0x22, 0x02, 0x33}));
    EXPECT_EQ(cobsEncode({0x11, 0x00, 0x00}), (Bytes{0x02, 0x11, 0x01, 0x01}));
    Bytes long254(254, 0x07);
    Bytes enc = cobsEncode(long254);
    EXPECT_EQ(enc.front(), 0xFF);
    EXPECT_EQ(enc.size(), 256u);
    for (const Bytes& in : {Bytes{}, Bytes{0}, Bytes{0, 0, 5}, long254, Bytes{1, 2, 3, 0}}) {
        auto dec = cobsDecode(cobsEncode(in));
        ASSERT_TRUE(dec.has_value());
        EXPECT_EQ(*dec, in);
    }
    EXPECT_FALSE(cobsDecode({0x05, 0x01}).has_value());  // code points past the end
}

TEST(ModsimCobs, LargestSerialPacketFitsAndCrosses) {
    Bytes wire{0x04, 27};
    for (int i = 0; i < 27; ++i) wire.push_back(std::uint8_t(i));  // includes a zero
    const Bytes line = frameEncode(wire);
    EXPECT_EQ(line.size(), 32u);  // 31 stuffed bytes and the delimiter
    FrameDecoder d;
    EXPECT_EQ(feedAll(d, line), wire);
    EXPECT_EQ(d.badFrames(), 0u);
}

TEST(ModsimCobs, BadFramesAreCountedAndTheNextFrameStillDecodes) {
    const Bytes good = frameEncode({0x02, 1, 0x17});
    FrameDecoder d;

    Bytes badCrc = good;
    badCrc[badCrc.size() - 2] ^= 0x10;  // the CRC byte
    int frames = 0;
    feedAll(d, badCrc, &frames);
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(d.badFrames(), 1u);

    // Length byte says 2 but only one data byte follows (CRC made to match).
    Bytes lying{0x02, 2, 0x17};
    lying.push_back(crc8Maxim(lying.data(), lying.size()));
    Bytes lyingLine = cobsEncode(lying);
    lyingLine.push_back(0);
    feedAll(d, lyingLine, &frames);
    EXPECT_EQ(d.badFrames(), 2u);

    // Overlong: 32 non-zero bytes before the delimiter.
    Bytes overlong(32, 0x05);
    overlong.push_back(0);
    feedAll(d, overlong, &frames);
    EXPECT_EQ(d.badFrames(), 3u);

    // Empty frames are neither good nor bad.
    feedAll(d, {0, 0, 0}, &frames);
    EXPECT_EQ(d.badFrames(), 3u);

    EXPECT_EQ(feedAll(d, good, &frames), (Bytes{0x02, 1, 0x17}));
    EXPECT_EQ(frames, 1);
}
