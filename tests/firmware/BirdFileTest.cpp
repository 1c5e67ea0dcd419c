// BirdFile against images from the independent maker and against hand-built,
// hostile byte strings. The sanitizer build is what catches a stray read.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Helpers.h"
#include "Process.h"
#include "birdmake.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Payload(const BirdBlock& block) { return Bytes(block.data, block.data + block.length); }

Bytes FirmwareBytes(const BirdFile& file)
{
    Bytes out;
    for (const auto& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE))
        if (block.length >= 4)
            out.insert(out.end(), block.data + 4, block.data + block.length);
    return out;
}

void Put32(Bytes& bytes, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
}

class BirdFileTest : public ::testing::Test {
protected:
    std::string Write(const Bytes& bytes, const std::string& name = "image.bird")
    {
        testsupport::WriteFile(dir.file(name), std::string(bytes.begin(), bytes.end()));
        return dir.file(name);
    }
    std::string Write(const birdmake::Image& image) { return Write(birdmake::MakeFile(image)); }
    // Also checks that the check in pieces agrees with loading.
    static std::string LoadError(const std::string& path)
    {
        const std::string error = ErrorOf([&] { BirdFile file(path); });
        EXPECT_EQ(BirdFile::CheckFile(path), error.empty()) << path;
        return error;
    }
    // Runs every operation that walks the blocks, so that a bad block record
    // shows; a file that loaded also passes the check in pieces.
    static void Exercise(BirdFile& file)
    {
        EXPECT_TRUE(BirdFile::CheckFile(file.GetPath())) << file.GetPath();
        static const uint32_t key[4] = {1, 2, 3, 4};
        file.ReplaceSerialNumber(0x12345678);
        file.ReplaceVectorChecksum();
        file.DecodeFirmwareBlocks(key);
        file.ValidateData(reinterpret_cast<const uint8_t*>("\0\0"), 2);
        file.ValidateModel("MODEL");
        file.GetVersion();
        file.GetSerialNumber();
        testing::internal::CaptureStdout();
        for (uint8_t type = 0; type < 6; ++type)
            file.DumpBlocks(type);
        testing::internal::GetCapturedStdout();
    }

    testsupport::TempDir dir;
};

TEST_F(BirdFileTest, MakerImageLoadsWithEveryBlockAndField)
{
    birdmake::SampleOptions options;
    options.firmwareAddress = 0x8000;
    options.firmwareBlocks = 2;
    options.firmwareBlockSize = 1000;
    options.build = "4321";
    options.version = "2.10.7";
    options.serialHex = "40F5849A";
    options.generic = true;
    options.startAddress = 0x20000400;
    birdmake::Image image = birdmake::SampleImage(options);
    image.blocks.push_back(birdmake::RawBlock(0x61, {0x00, 0x00, 0x90, 0x00, 1, 2, 3}));
    image.blocks.push_back(birdmake::RawBlock(0xE3, {9, 9}));
    std::string path = Write(image);

    ASSERT_TRUE(BirdFile::VerifyFile(path));
    BirdFile file(path);
    ASSERT_EQ(image.blocks.size(), file.GetBlockCount());
    for (size_t i = 0; i < image.blocks.size(); ++i) {
        const BirdBlock& got = file.Blocks()[i];
        EXPECT_EQ(image.blocks[i].type, got.type) << i;
        EXPECT_EQ(image.blocks[i].flags, got.flags) << i;
        EXPECT_EQ(image.blocks[i].payload, Payload(got)) << i;
    }
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(3u, firmware.size());
    EXPECT_EQ(0x8000u + 1000, firmware[1].address);
    EXPECT_EQ(0x9000u, firmware[2].address);
    EXPECT_EQ(0x10000000u, file.FindBlocks(BirdFile::BLOCK_LOADER).at(0).address);
    EXPECT_EQ(birdmake::FirmwareData(image), FirmwareBytes(file));

    Bytes area = birdmake::BlockArea(image);
    area.resize(area.size() - 4);
    EXPECT_EQ(birdmake::ByteSum(area), file.GetFileChecksum());
    EXPECT_EQ(4321u, file.GetBuild());
    EXPECT_EQ("2.10.7", file.GetVersion());
    EXPECT_TRUE(file.ValidateSerialNumber(0x40F5849A));
    EXPECT_TRUE(file.IsGenericImage());
    EXPECT_EQ(0x8100u, file.GetSerialNumberOffset());
    EXPECT_EQ(0x8120u, file.GetDescriptorOffset());
}

TEST_F(BirdFileTest, VerifyChecksOnlySignatureAndTwoNonZeroVersionBytes)
{
    Bytes good = birdmake::MakeFile(birdmake::SampleImage());
    auto header = [&](const Bytes& first) {
        Bytes bytes = good;
        std::copy(first.begin(), first.end(), bytes.begin());
        return Write(bytes, "variant.bird");
    };
    EXPECT_FALSE(BirdFile::VerifyFile(header({'b', 'i', 'r', 'd', 1, 0})));
    EXPECT_FALSE(BirdFile::VerifyFile(header({'b', 'i', 'r', 'd', 0, 1})));
    EXPECT_FALSE(BirdFile::VerifyFile(header({'B', 'i', 'r', 'd', 1, 1})));
    EXPECT_TRUE(BirdFile::VerifyFile(header({'b', 'i', 'r', 'd', 2, 7})));
    EXPECT_FALSE(BirdFile::VerifyFile(Write(Bytes{'b', 'i', 'r', 'd', 1}, "short.bird")));
    // A file the user names is loaded without the header check.
    EXPECT_EQ("", LoadError(header({'x', 'x', 'x', 'x', 1, 0})));

    LogCapture log(DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing.bird")));
    EXPECT_TRUE(log.Has("BIRDFILE: Error - cannot open bird file: '" + dir.file("missing.bird") + "'\n"));
}

TEST_F(BirdFileTest, InformationFieldsAreCutTrimmedOrAbsent)
{
    birdmake::Image image;
    image.blocks.push_back(birdmake::InfoBlock("0000000000123456", "1.2.3", "00001A2Bxxxxxxxx", "ABC"));
    BirdFile file(Write(image));
    EXPECT_EQ(12345u, file.GetBuild());
    EXPECT_EQ("1.2.3", file.GetVersion());
    EXPECT_EQ(0x1A2Bu, file.GetSerialNumber());
    EXPECT_TRUE(file.ValidateModel("ABC"));
    EXPECT_TRUE(file.ValidateModel("AB"));
    EXPECT_TRUE(file.ValidateModel(""));
    EXPECT_FALSE(file.ValidateModel("ABCD"));

    // An information block holding the build field only, a serial-offsets block
    // too short for its addresses and a firmware block too short for its own.
    const std::string info = "77             1.0";
    image.blocks = {birdmake::FirmwareBlock(0, birdmake::RandomData(64, 1)),
                    birdmake::RawBlock(0x04, Bytes(info.begin(), info.end())),
                    birdmake::RawBlock(0x02, {0, 0, 0, 0x10, 0}), birdmake::RawBlock(0x01, {0, 0})};
    BirdFile shortBlocks(Write(image));
    EXPECT_EQ(77u, shortBlocks.GetBuild());
    EXPECT_EQ("", shortBlocks.GetVersion());
    EXPECT_EQ(0u, shortBlocks.GetSerialNumber());
    EXPECT_FALSE(shortBlocks.ValidateModel("MODEL"));
    EXPECT_TRUE(shortBlocks.IsGenericImage());
    EXPECT_FALSE(shortBlocks.ReplaceSerialNumber(0x12345678));
    EXPECT_EQ(image.blocks[0].payload, Payload(shortBlocks.Blocks()[0]));
    Exercise(shortBlocks);

    image.blocks.resize(1);
    BirdFile none(Write(image));
    EXPECT_EQ(0u, none.GetBuild());
    EXPECT_EQ("", none.GetVersion());
    EXPECT_FALSE(none.ValidateModel(""));
    EXPECT_FALSE(none.IsGenericImage());
    EXPECT_FALSE(none.ReplaceSerialNumber(1));
}

TEST_F(BirdFileTest, SerialGoesIntoTheWordAndEverySecondDescriptorByte)
{
    birdmake::SampleOptions options;
    options.firmwareAddress = 0x1000;
    options.firmwareBlockSize = 0x400;
    options.generic = true;
    birdmake::Image image = birdmake::SampleImage(options);
    BirdFile file(Write(image));
    Bytes expected = FirmwareBytes(file);
    ASSERT_TRUE(file.ReplaceSerialNumber(0x00001A2B));
    expected[0x100] = 0x2B;
    expected[0x101] = 0x1A;
    for (int i = 0; i < 8; ++i)
        expected[0x120 + 2 * i] = static_cast<uint8_t>("00001A2B"[i]);
    EXPECT_EQ(expected, FirmwareBytes(file));
    EXPECT_EQ(image.blocks[0].payload, Payload(file.Blocks()[0]));
}

TEST_F(BirdFileTest, SerialReplacementStaysInsideTheBlocks)
{
    const uint32_t base = 0x1000;  // one firmware block with 64 data bytes
    struct Case {
        uint32_t serial, descriptor;
        bool result;
        int changedAt;  // first changed data byte, -1 for none
    } cases[] = {
        {0, base + 0x10, true, 0x10},   // descriptor only
        {0, base + 49, false, -1},      // its 16 bytes would end one past the block
        {base + 60, 0, true, 60},       // the last whole word
        {base + 62, 0, true, -1},       // a word across the end: known offset, nothing written
        {0x5000, 0, true, -1},          // no block covers it, still reported done
    };
    for (const Case& c : cases) {
        birdmake::Image image;
        image.blocks.push_back(birdmake::FirmwareBlock(base, birdmake::RandomData(64, 5)));
        image.blocks.push_back(birdmake::SerialOffsetsBlock(c.serial, c.descriptor));
        BirdFile file(Write(image));
        Bytes before = FirmwareBytes(file);
        EXPECT_EQ(c.result, file.ReplaceSerialNumber(0xA5A5A5A5)) << c.serial << "/" << c.descriptor;
        Bytes after = FirmwareBytes(file);
        auto diff = std::mismatch(before.begin(), before.end(), after.begin());
        EXPECT_EQ(c.changedAt, diff.first == before.end() ? -1 : int(diff.first - before.begin()));
    }
}

TEST_F(BirdFileTest, VectorChecksumOnlyForBlocksLoadedAtZero)
{
    birdmake::Image image;
    image.blocks.push_back(birdmake::FirmwareBlock(0, birdmake::RandomData(64, 7)));
    image.blocks.push_back(birdmake::FirmwareBlock(0x100, birdmake::RandomData(64, 8)));
    image.blocks.push_back(birdmake::FirmwareBlock(0, Bytes(20, 0xFF)));  // too short for a table
    birdmake::Image fixed = image;
    ASSERT_TRUE(birdmake::FixVectorChecksum(fixed));
    ASSERT_NE(birdmake::FirmwareData(image), birdmake::FirmwareData(fixed));
    BirdFile file(Write(image));
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    EXPECT_EQ(birdmake::FirmwareData(fixed), FirmwareBytes(file));
}

TEST_F(BirdFileTest, DecodingWithTheChipIdentifierRestoresTheFirmware)
{
    birdmake::SampleOptions options;
    options.firmwareBlocks = 3;
    options.firmwareBlockSize = 1000;  // not a multiple of the key length
    birdmake::Image plain = birdmake::SampleImage(options);
    birdmake::Image encoded = plain;
    const std::array<uint32_t, 4> id{0x01020304, 0xA0B0C0D0, 0x11111111, 0xFFFFFFFF};
    birdmake::EncodeFirmwareBlocks(encoded, id);
    BirdFile file(Write(encoded));
    ASSERT_NE(birdmake::FirmwareData(plain), FirmwareBytes(file));
    EXPECT_TRUE(file.DecodeFirmwareBlocks(id.data()));
    EXPECT_EQ(birdmake::FirmwareData(plain), FirmwareBytes(file));
    EXPECT_EQ(2000u, file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[2].address);
    EXPECT_EQ(plain.blocks[0].payload, Payload(file.Blocks()[0]));
}

TEST_F(BirdFileTest, DumpPrintsRowsOfFiftyBytes)
{
    Bytes payload{'H', 'i', 0x01};
    payload.resize(53, 'Z');
    birdmake::Image image;
    image.blocks.push_back(birdmake::RawBlock(0x03, payload));
    std::string path = Write(image);
    BirdFile file(path);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(file.DumpBlocks(3));
    std::string out = testing::internal::GetCapturedStdout();
    std::string hex;
    for (int i = 0; i < 47; ++i)
        hex += "5A ";
    EXPECT_EQ("BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 48 69 01 " + hex + " Hi " + std::string(47, 'Z') +
                  "\r\n000050: 5A 5A 5A  ZZZ\n\n",
              out);
}

TEST_F(BirdFileTest, PatternSearchCoversWholeFirmwareBlocksOnly)
{
    const Bytes pattern{0xDE, 0xAD, 0xBE, 0xEF};
    const Bytes loaderOnly{0xCA, 0xFE, 0xBA, 0xBE};
    Bytes data(100, 0x11);
    std::copy(pattern.begin(), pattern.end(), data.begin() + 10);
    std::copy(pattern.begin(), pattern.end(), data.end() - 4);
    birdmake::Image image;
    image.blocks.push_back(birdmake::LoaderBlock(0, loaderOnly));
    image.blocks.push_back(birdmake::FirmwareBlock(0, data));
    BirdFile file(Write(image));

    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(file.ValidateData(pattern.data(), pattern.size()));
    EXPECT_TRUE(log.Has("Found data at 14\n"));
    EXPECT_TRUE(log.Has("Found data at 100\n"));  // ends on the block's last byte
    EXPECT_FALSE(file.ValidateData(loaderOnly.data(), loaderOnly.size()));
}

TEST_F(BirdFileTest, DeclaredLengthPastTheEndDropsTheBlock)
{
    for (uint32_t declared : {9u, 13u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Bytes area;
        Put32(area, 2);
        for (uint32_t length : {8u, declared}) {
            area.push_back(0x01);
            Put32(area, length);
            Put32(area, length == 8 ? 0x1000 : 0);
            Put32(area, length == 8 ? 0x01020304 : 0x05060708);
        }
        Put32(area, 0);
        LogCapture log(DEBUG_BirdFile);
        BirdFile file(Write(birdmake::WrapBlockArea(area)));
        EXPECT_EQ(1u, file.GetBlockCount()) << declared;
        EXPECT_EQ((Bytes{1, 2, 3, 4}), FirmwareBytes(file));
        EXPECT_TRUE(log.Has("BIRDFILE: Block parsing mismatch")) << declared;
        Exercise(file);
    }
}

TEST_F(BirdFileTest, EveryTruncationKeepsOnlyWholeBlocks)
{
    birdmake::SampleOptions options;
    options.loaderSize = 8;
    options.firmwareBlockSize = 40;
    options.generic = true;
    options.serialOffset = 0x10;
    options.descriptorOffset = 0x14;
    options.startAddress = 0x20000400;
    birdmake::Image image = birdmake::SampleImage(options);
    Bytes area = birdmake::BlockArea(image);
    for (size_t n = 0; n < area.size(); ++n) {
        std::string path = Write(birdmake::WrapBlockArea(Bytes(area.begin(), area.begin() + n)), "cut.bird");
        BirdFile file(path);
        ASSERT_LE(file.GetBlockCount(), image.blocks.size());
        for (size_t i = 0; i < file.GetBlockCount(); ++i) {
            const BirdBlock& got = file.Blocks()[i];
            EXPECT_EQ(image.blocks[i].payload, Payload(got)) << n << ":" << i;
        }
        Exercise(file);
    }
}

TEST_F(BirdFileTest, UnloadableFilesFailWithTheirLogLines)
{
    LogCapture log(DEBUG_BirdFile);
    for (const Bytes& bytes : {Bytes{}, Bytes{'b', 'i', 'r'}, Bytes{'b', 'i', 'r', 'd', 1, 1}}) {
        EXPECT_EQ("Failed to load bird data", LoadError(Write(bytes, "tiny.bird"))) << bytes.size();
        EXPECT_TRUE(log.Has("decompressing bird file.\n"));
    }
    birdmake::Image zeros;
    zeros.blocks.push_back(birdmake::FirmwareBlock(0, Bytes(256 * 1024, 0)));
    zeros.compressionLevel = 9;
    EXPECT_EQ("Failed to load bird data", LoadError(Write(zeros)));
    EXPECT_TRUE(log.Has("BIRDFILE: Error (-5) decompressing bird file.\n"));

    EXPECT_EQ("Failed to load bird data", LoadError(dir.file("none.bird")));
    EXPECT_TRUE(log.Has("BIRDFILE: BIRD file not found [" + dir.file("none.bird") + "]\n"));

    birdmake::Image two = birdmake::SampleImage();
    two.blocks.resize(2);
    two.declaredCount = 3;
    BirdFile file(Write(two));
    EXPECT_EQ(2u, file.GetBlockCount());
    EXPECT_TRUE(log.Has("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"));
}

long MaxResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Hostile sizes are refused before anything of their size is allocated: a
// file of a gigabyte (sparse: its header is all that is written) and a block
// area of more empty blocks than any image has.
TEST_F(BirdFileTest, OversizedFilesAndBlockListsAreRefused)
{
    const std::string huge = Write(Bytes{'b', 'i', 'r', 'd', 1, 1, 0x78, 0x9C}, "huge.bird");
    ASSERT_EQ(0, truncate(huge.c_str(), 1l << 30));
    LogCapture log(DEBUG_BirdFile);
    const long before = MaxResidentKiB();
    EXPECT_EQ("Failed to load bird data", LoadError(huge));
    EXPECT_LT(MaxResidentKiB() - before, 64 * 1024);
    EXPECT_TRUE(log.Has("more than the 33554432 of any image"));

    Bytes area;
    Put32(area, BirdFile::kMaxBlocks + 1);
    for (size_t i = 0; i <= BirdFile::kMaxBlocks; ++i)
        area.insert(area.end(), {0x03, 0, 0, 0, 0});
    Put32(area, 0);
    // Stored without compression: the area may be at most eight times the
    // compressed bytes, and empty blocks compress far better than that.
    const auto wrap = [](const Bytes& bytes) { return birdmake::WrapBlockArea(bytes, birdmake::kFormatVersion, 0); };
    EXPECT_EQ("Failed to load bird data", LoadError(Write(wrap(area), "many.bird")));
    EXPECT_TRUE(log.Has("holds more than 65536 blocks"));
    area.erase(area.end() - 9, area.end() - 4);
    area[3] -= 1;
    BirdFile most(Write(wrap(area), "most.bird"));
    EXPECT_EQ(BirdFile::kMaxBlocks, most.GetBlockCount());
    EXPECT_TRUE(BirdFile::CheckFile(most.GetPath()));
}

}  // namespace
