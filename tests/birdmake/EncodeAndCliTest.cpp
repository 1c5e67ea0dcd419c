// Encoding round trips, sample images and the command-line program.
#include "MiniReader.h"
#include "birdmake.h"

#include <gtest/gtest.h>

#include <Process.h>

namespace {

TEST(BirdmakeEncode, DecodingGivesBackEveryBlockAndLeavesOthersAlone) {
    birdmake::SampleOptions options;
    options.firmwareBlocks = 3;
    options.firmwareBlockSize = 1000;  // not a multiple of 16: the key index must restart per block
    birdmake::Image image = birdmake::SampleImage(options);
    birdtest::Parsed plain = birdtest::MustParse(birdmake::MakeFile(image));
    const std::array<uint32_t, 4> id{0x01020304, 0xA0B0C0D0, 0x11111111, 0xFFFFFFFF};
    birdmake::EncodeFirmwareBlocks(image, id);
    birdtest::Parsed encoded = birdtest::MustParse(birdmake::MakeFile(image));
    ASSERT_EQ(plain.blocks.size(), encoded.blocks.size());
    for (size_t i = 0; i < plain.blocks.size(); ++i) {
        bool firmware = (plain.blocks[i].typeFlags & 0x1F) == 1;
        EXPECT_EQ(firmware, plain.blocks[i].payload != encoded.blocks[i].payload) << i;
        EXPECT_EQ(std::vector<uint8_t>(plain.blocks[i].payload.begin(), plain.blocks[i].payload.begin() + 4),
                  std::vector<uint8_t>(encoded.blocks[i].payload.begin(), encoded.blocks[i].payload.begin() + 4));
    }
    birdtest::Decode(encoded.blocks, id);
    for (size_t i = 0; i < plain.blocks.size(); ++i) EXPECT_EQ(plain.blocks[i].payload, encoded.blocks[i].payload) << i;
}

TEST(BirdmakeEncode, KeyStreamIsMostSignificantByteFirst) {
    birdmake::Image image;
    image.blocks.push_back(birdmake::FirmwareBlock(0, std::vector<uint8_t>(17, 0)));
    birdmake::EncodeFirmwareBlocks(image, {0x00112233, 0x44556677, 0x8899AABB, 0xCCDDEEFF});
    // All-zero plain data leaves the bare key stream, wrapping after 16 bytes.
    std::vector<uint8_t> expected{0, 0, 0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00};
    EXPECT_EQ(expected, image.blocks[0].payload);
}

TEST(BirdmakeSample, GenericImageHoldsPlaceholdersAndIsDeterministic) {
    birdmake::SampleOptions options;
    options.firmwareBlocks = 2;
    options.firmwareBlockSize = 2u << 20;
    options.generic = true;
    options.vectorChecksum = true;
    options.startAddress = 0x20000400;
    birdmake::Image image = birdmake::SampleImage(options);
    EXPECT_EQ(birdmake::MakeFile(image), birdmake::MakeFile(birdmake::SampleImage(options)));

    birdtest::Parsed parsed = birdtest::MustParse(birdmake::MakeFile(image));
    ASSERT_EQ(6u, parsed.blocks.size());  // loader, 2 firmware, info, offsets, start
    EXPECT_EQ(0x00, parsed.blocks[0].typeFlags);
    EXPECT_EQ(0x02, parsed.blocks[4].typeFlags);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 1, 0x20}), parsed.blocks[4].payload);
    const std::vector<uint8_t>& fw = parsed.blocks[1].payload;
    EXPECT_EQ(0u, birdtest::LE32(&fw[4 + 0x100]));
    EXPECT_EQ(18, fw[4 + 0x11E]);
    EXPECT_EQ(3, fw[4 + 0x11F]);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ('0', fw[4 + 0x120 + 2 * i]);
        EXPECT_EQ(0, fw[4 + 0x121 + 2 * i]);
    }
    uint32_t sum = 0;
    for (int w : {0, 1, 2, 3, 4, 6}) sum += birdtest::LE32(&fw[4 + 4 * w]);
    EXPECT_EQ(0u - sum, birdtest::LE32(&fw[4 + 28]));
    EXPECT_EQ(0x00200000u, birdtest::BE32(parsed.blocks[2].payload.data()));
    EXPECT_EQ(4u << 20, birdmake::FirmwareData(image).size());
    // A random stream's prefix is the shorter stream: blocks are one stream cut up.
    std::vector<uint8_t> longer = birdmake::RandomData(1000, 7);
    EXPECT_EQ(birdmake::RandomData(100, 7), std::vector<uint8_t>(longer.begin(), longer.begin() + 100));
    EXPECT_FALSE(birdmake::WritePlaceholders(image, 0x00400000, 0));
}

class BirdmakeCli : public ::testing::Test {
protected:
    testsupport::ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), BIRDMAKE_EXE);
        return testsupport::RunProcess(args);
    }
    birdtest::Parsed Read(const std::string& path) {
        std::string bytes = testsupport::ReadFile(path);
        return birdtest::MustParse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    testsupport::TempDir dir_;
};

TEST_F(BirdmakeCli, BlocksFollowCommandLineOrder) {
    testsupport::WriteFile(dir_.file("fw.bin"), "ABCD");
    testsupport::WriteFile(dir_.file("ld:x.bin"), "L");
    auto r = Run({"-o", dir_.file("out.bird"), "--info", "12,1.0.0,0000ABCD,MODEL-X", "--firmware",
                  "0x100:" + dir_.file("fw.bin"), "--loader=16:" + dir_.file("ld:x.bin"), "--firmware-random",
                  "0:64:5", "--serial-offsets", "0x100,0", "--placeholders", "--start", "0x20000400", "--raw",
                  "0x66:" + dir_.file("fw.bin"), "--format-version", "0207", "--checksum", "7"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    birdtest::Parsed p = Read(dir_.file("out.bird"));
    EXPECT_EQ(0x0207, p.version);
    EXPECT_EQ(7u, p.checksum);
    ASSERT_EQ(7u, p.blocks.size());
    std::vector<int> types;
    for (auto& b : p.blocks) types.push_back(b.typeFlags);
    EXPECT_EQ((std::vector<int>{4, 1, 0, 1, 2, 5, 0x66}), types);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0, 0}), p.blocks[1].payload);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 16, 'L'}), p.blocks[2].payload);
    std::vector<uint8_t> random = birdmake::RandomData(64, 5);
    EXPECT_EQ(random, std::vector<uint8_t>(p.blocks[3].payload.begin() + 4, p.blocks[3].payload.end()));
}

TEST_F(BirdmakeCli, EncodeMatchesTheLibrary) {
    auto r = Run({"-o", dir_.file("e.bird"), "--firmware-random", "0:100", "--encode", "1,2,3,0xFFFFFFFF"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    birdtest::Parsed p = Read(dir_.file("e.bird"));
    birdtest::Decode(p.blocks, {1, 2, 3, 0xFFFFFFFF});
    EXPECT_EQ(birdmake::RandomData(100, 1), std::vector<uint8_t>(p.blocks[0].payload.begin() + 4, p.blocks[0].payload.end()));
}

TEST_F(BirdmakeCli, IdentityRecordLeadsTheFirstFirmwareBlock) {
    auto r = Run({"-o", dir_.file("id.bird"), "--loader", "16:" + dir_.file("none"), "--firmware-random", "0x800:64",
                  "--firmware-random", "0:64", "--identity", "0x01020304,2.16.255"});
    EXPECT_EQ(1, r.exitCode);  // the loader's data file is missing
    testsupport::WriteFile(dir_.file("ld.bin"), "L");
    r = Run({"-o", dir_.file("id.bird"), "--loader", "16:" + dir_.file("ld.bin"), "--firmware-random", "0x800:64",
             "--firmware-random", "0:64", "--identity", "0x01020304,2.16.255"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    birdtest::Parsed p = Read(dir_.file("id.bird"));
    // "FWID", build, 2.16.255, 0, then the sum of those twelve bytes.
    const uint32_t sum = 0x46 + 0x57 + 0x49 + 0x44 + 1 + 2 + 3 + 4 + 2 + 16 + 255;
    const std::vector<uint8_t> record{0x46, 0x57, 0x49, 0x44, 1, 2, 3, 4, 2, 16, 255, 0,
                                      0, 0, uint8_t(sum >> 8), uint8_t(sum)};
    ASSERT_EQ(3u, p.blocks.size());
    EXPECT_EQ(record, std::vector<uint8_t>(p.blocks[1].payload.begin() + 4, p.blocks[1].payload.begin() + 20));
    EXPECT_EQ(birdmake::RandomData(64, 1), std::vector<uint8_t>(p.blocks[2].payload.begin() + 4, p.blocks[2].payload.end()));
    EXPECT_EQ(record, birdmake::IdentityRecord(0x01020304, 2, 16, 255));

    EXPECT_EQ(1, Run({"-o", dir_.file("x.bird"), "--firmware-random", "0:15", "--identity", "1,1.0.0"}).exitCode);
    EXPECT_EQ(2, Run({"-o", dir_.file("x.bird"), "--firmware-random", "0:64", "--identity", "1,1.0.256"}).exitCode);
    EXPECT_EQ(2, Run({"-o", dir_.file("x.bird"), "--firmware-random", "0:64", "--identity", "1.0.0"}).exitCode);
    birdmake::SampleOptions sample;
    sample.firmwareBlockSize = 64;
    sample.identity = true;
    birdmake::Image image = birdmake::SampleImage(sample);
    EXPECT_EQ(birdmake::IdentityRecord(1000, 1, 0, 0),
              std::vector<uint8_t>(image.blocks[1].payload.begin() + 4, image.blocks[1].payload.begin() + 20));
}

TEST_F(BirdmakeCli, BadUsageExitsTwoAndIoFailureOne) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {},
             {"-o", dir_.file("x"), "--bogus"},
             {"-o", dir_.file("x"), "--start", "0x1G"},
             {"-o", dir_.file("x"), "--start", "4294967296"},
             {"-o", dir_.file("x"), "--start", "-1"},
             {"-o", dir_.file("x"), "--info", "1,2,3"},
             {"-o", dir_.file("x"), "--firmware", "12"},
             {"-o", dir_.file("x"), "--encode", "1,2,3"},
             {"-o", dir_.file("x"), "--format-version", "10000"},
             {"-o", dir_.file("x"), "--placeholders"},
             {"-o", dir_.file("x"), "--raw", "256:f"},
             {"-o", dir_.file("x"), "--start"},
             {"stray"}}) {
        auto r = Run(args);
        EXPECT_EQ(2, r.exitCode) << testing::PrintToString(args);
        EXPECT_NE(std::string::npos, r.err.find("birdmake: ")) << r.err;
    }
    EXPECT_FALSE(testsupport::PathExists(dir_.file("x")));
    auto missing = Run({"-o", dir_.file("y"), "--firmware", "0:" + dir_.file("nope.bin")});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.err.find("nope.bin"));
    EXPECT_EQ(1, Run({"-o", dir_.file("no/dir/z"), "--start", "1"}).exitCode);
    auto help = Run({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("--firmware-random"));
}

}  // namespace
