// The bytes the maker writes, checked field by field with the test's own reader.
#include "MiniReader.h"
#include "birdmake.h"

#include <gtest/gtest.h>

#include <Process.h>

using birdtest::Bytes;
using birdtest::MustParse;

namespace {

std::vector<uint8_t> Seq(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

TEST(BirdmakeLayout, HeaderAndBlockAreaAreBigEndianWithoutPadding) {
    birdmake::Image image;
    image.blocks.push_back(birdmake::LoaderBlock(0x10203040, Seq({0xAA, 0xBB})));
    image.blocks.push_back(birdmake::FirmwareBlock(0x01020304, Seq({1, 2, 3}), 3));
    image.blocks.push_back(birdmake::SerialOffsetsBlock(0x11223344, 0x55667788));
    image.blocks.push_back(birdmake::StartAddressBlock(0x20000400));

    std::vector<uint8_t> file = birdmake::MakeFile(image);
    ASSERT_GE(file.size(), 6u);
    EXPECT_EQ(Seq({'b', 'i', 'r', 'd', 0x01, 0x01}), std::vector<uint8_t>(file.begin(), file.begin() + 6));

    std::vector<uint8_t> expected = Seq({0, 0, 0, 4,
                                         0x00, 0, 0, 0, 6, 0x10, 0x20, 0x30, 0x40, 0xAA, 0xBB,
                                         0x61, 0, 0, 0, 7, 0x01, 0x02, 0x03, 0x04, 1, 2, 3,
                                         0x02, 0, 0, 0, 8, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                         0x05, 0, 0, 0, 4, 0x20, 0x00, 0x04, 0x00});
    uint32_t sum = 0;
    for (uint8_t b : expected) sum += b;
    expected.insert(expected.end(), {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});

    birdtest::Parsed parsed = MustParse(file);
    EXPECT_EQ(expected, parsed.area);
    EXPECT_EQ(expected, birdmake::BlockArea(image));
    EXPECT_EQ(4u, parsed.declaredCount);
    EXPECT_EQ(4u, parsed.blocks.size());
}

TEST(BirdmakeLayout, TypeAndFlagsShareOneByte) {
    birdmake::Image image;
    image.blocks.push_back(birdmake::FirmwareBlock(0, {}, 7));
    image.blocks.push_back(birdmake::RawBlock(0x61, Seq({9})));
    image.blocks.push_back(birdmake::RawBlock(0xFF, {}));
    image.blocks.push_back(birdmake::Block{3, 0, {}});
    birdtest::Parsed parsed = MustParse(birdmake::MakeFile(image));
    ASSERT_EQ(4u, parsed.blocks.size());
    EXPECT_EQ(0xE1, parsed.blocks[0].typeFlags);
    EXPECT_EQ(0x61, parsed.blocks[1].typeFlags);
    EXPECT_EQ(0xFF, parsed.blocks[2].typeFlags);
    EXPECT_EQ(0x03, parsed.blocks[3].typeFlags);
    EXPECT_EQ(1, birdmake::RawBlock(0x61, {}).type);
    EXPECT_EQ(3, birdmake::RawBlock(0x61, {}).flags);

    // Out-of-range values would silently become another type; the maker refuses them.
    birdmake::Image bad;
    bad.blocks.push_back(birdmake::Block{32, 0, {}});
    EXPECT_THROW(birdmake::BlockArea(bad), std::invalid_argument);
    bad.blocks[0] = birdmake::Block{1, 8, {}};
    EXPECT_THROW(birdmake::BlockArea(bad), std::invalid_argument);
}

TEST(BirdmakeLayout, InfoFieldsArePaddedAndCutToSixteen) {
    birdmake::Block info = birdmake::InfoBlock("1234", "1.2.3", "0A1B2C3D", "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(4, info.type);
    EXPECT_EQ(0, info.flags);
    std::string text(info.payload.begin(), info.payload.end());
    EXPECT_EQ(std::string("1234            "
                          "1.2.3           "
                          "0A1B2C3D        "
                          "ABCDEFGHIJKLMNOP"),
              text);
    EXPECT_EQ(std::string::npos, text.find('\0'));

    birdmake::Block empty = birdmake::InfoBlock("", "", "", "");
    EXPECT_EQ(std::vector<uint8_t>(64, ' '), empty.payload);
    // A build of sixteen digits is kept whole; cutting it is the reader's business.
    std::vector<uint8_t> build = birdmake::InfoBlock("12345678901234567", "", "", "").payload;
    EXPECT_EQ(Bytes("1234567890123456"), std::vector<uint8_t>(build.begin(), build.begin() + 16));
}

TEST(BirdmakeLayout, OverridesReachTheFile) {
    birdmake::Image image;
    image.blocks.push_back(birdmake::FirmwareBlock(0, Seq({1})));
    image.blocks.push_back(birdmake::FirmwareBlock(1, Seq({2})));
    image.formatVersion = 0x0207;
    image.declaredCount = 3;
    image.checksum = 0xCAFEF00D;
    std::vector<uint8_t> file = birdmake::MakeFile(image);
    EXPECT_EQ(0x02, file[4]);
    EXPECT_EQ(0x07, file[5]);
    birdtest::Parsed parsed = MustParse(file);
    EXPECT_EQ(3u, parsed.declaredCount);
    EXPECT_EQ(2u, parsed.blocks.size());
    EXPECT_EQ(0xCAFEF00Du, parsed.checksum);
}

TEST(BirdmakeLayout, EmptyImageAndStoredStreamAndHandMadeArea) {
    birdtest::Parsed empty = MustParse(birdmake::MakeFile(birdmake::Image{}));
    EXPECT_EQ(Seq({0, 0, 0, 0, 0, 0, 0, 0}), empty.area);

    // Level 0 keeps incompressible-looking data readable by a reader with a bounded buffer.
    birdmake::Image image;
    image.blocks.push_back(birdmake::FirmwareBlock(0, std::vector<uint8_t>(100000, 0)));
    image.compressionLevel = 0;
    std::vector<uint8_t> stored = birdmake::MakeFile(image);
    EXPECT_GT(stored.size(), 100000u);
    image.compressionLevel = 9;
    std::vector<uint8_t> packed = birdmake::MakeFile(image);
    EXPECT_LT(packed.size(), 1000u);
    EXPECT_EQ(MustParse(stored).area, MustParse(packed).area);

    std::vector<uint8_t> area = Seq({0, 0, 0, 9, 1, 2, 3, 4});
    birdtest::Parsed wrapped = MustParse(birdmake::WrapBlockArea(area, 0x0100));
    EXPECT_EQ(area, wrapped.area);
    EXPECT_EQ(0x0100, wrapped.version);
    EXPECT_THROW(birdmake::WrapBlockArea(area, 0x0101, 42), std::runtime_error);
}

TEST(BirdmakeLayout, SplitAddressedUndoesTheBuilders) {
    uint32_t address = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(birdmake::SplitAddressed(birdmake::LoaderBlock(0xDEADBEEF, Seq({5, 6})), &address, &data));
    EXPECT_EQ(0xDEADBEEFu, address);
    EXPECT_EQ(Seq({5, 6}), data);
    EXPECT_FALSE(birdmake::SplitAddressed(birdmake::StartAddressBlock(1), &address, &data));
    EXPECT_FALSE(birdmake::SplitAddressed(birdmake::Block{1, 0, Seq({1, 2, 3})}, &address, &data));
}

TEST(BirdmakeLayout, WriteFileReportsFailures) {
    testsupport::TempDir dir;
    birdmake::Image image;
    image.blocks.push_back(birdmake::InfoBlock("1", "2", "3", "4"));
    std::string error;
    ASSERT_TRUE(birdmake::WriteFile(dir.file("a.bird"), image, &error)) << error;
    std::string bytes = testsupport::ReadFile(dir.file("a.bird"));
    EXPECT_EQ(birdmake::MakeFile(image), std::vector<uint8_t>(bytes.begin(), bytes.end()));

    EXPECT_FALSE(birdmake::WriteFile(dir.file("missing/a.bird"), image, &error));
    EXPECT_NE(std::string::npos, error.find("missing/a.bird")) << error;

    image.blocks[0].type = 40;
    error.clear();
    EXPECT_FALSE(birdmake::WriteFile(dir.file("b.bird"), image, &error));
    EXPECT_FALSE(error.empty());
    if (testsupport::PathExists("/dev/full")) {
        image.blocks[0].type = 4;
        EXPECT_FALSE(birdmake::WriteFile("/dev/full", image, &error));
    }
}

}  // namespace
