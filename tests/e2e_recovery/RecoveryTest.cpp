// Fingerprint and recovery of an LPC module through its boot ROM, with the
// real binary, the boot-ROM emulator on a pseudo-terminal and the local
// update server mapping the chip's fingerprint to its module. One chip serves
// every run of a case, as the module on a user's bench would: it keeps its
// rate, its command mode and its flash from one run to the next.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Background.h"
#include "PacedPty.h"
#include "Process.h"
#include "birdmake.h"

using testsupport::BackgroundProcess;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kSerial = "5A5A0042";
const std::array<uint32_t, 4> kChip = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
constexpr const char* kErasedAndNotWritten =
    "the flash was erased; the module will not start until a recovery completes — run the same command again";

uint32_t Word(const std::vector<uint8_t>& data, int w)
{
    return uint32_t(data[4 * w]) | uint32_t(data[4 * w + 1]) << 8 | uint32_t(data[4 * w + 2]) << 16 |
           uint32_t(data[4 * w + 3]) << 24;
}

// Firmware whose vector table carries a check word (word 7): by the chip's
// own rule words 0 to 7 sum to zero; by the older rule of our image tools
// words 0-4, 6 and 7 do. Word 5 is not zero, so each table passes one rule only.
std::vector<uint8_t> Firmware(size_t size, uint64_t seed, bool chipRule)
{
    std::vector<uint8_t> data = birdmake::RandomData(size, seed);
    data[20] |= 1;
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w)
        if (chipRule || w != 5)
            sum += Word(data, w);
    for (int b = 0; b < 4; ++b)
        data[28 + b] = uint8_t((0u - sum) >> (8 * b));
    return data;
}

std::vector<uint8_t> Slice(const std::string& bytes, size_t at, size_t length)
{
    return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + length);
}

class LpcRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        firmware_ = Firmware(20000, 7, true);
        const std::string device = work_.path() + "/catalogue/devices/" + kSerial;
        RunProcess({"/bin/mkdir", "-p", device + "/builds", work_.path() + "/catalogue/fix"});
        WriteImage(device + "/builds/3001.bird", {{0, firmware_}}, kChip, false);
        WriteFile(device + "/builds/3001.version", "2.13.0\n");
        WriteFile(device + "/latest", "3001\n");
        WriteFile(work_.path() + "/catalogue/fix/11111111-22222222-33333333-44444444", std::string(kSerial) + "\n");
        server_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{UPDATE_SERVER_BIN, "--catalogue", work_.path() + "/catalogue", "--port", "0"},
            work_.path() + "/server.log");
        const int port = testsupport::PortFromLine(server_->ReadLine());
        ASSERT_GT(port, 0) << ReadFile(work_.path() + "/server.log");
        url_ = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    }

    // An image of the given firmware blocks, encoded for the chip with that identifier.
    static void WriteImage(const std::string& path, const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& blocks,
                           const std::array<uint32_t, 4>& chip, bool generic)
    {
        birdmake::Image image;
        for (const auto& block : blocks)
            image.blocks.push_back(birdmake::FirmwareBlock(block.first, block.second));
        image.blocks.push_back(birdmake::InfoBlock("3001", "2.13.0", generic ? "00000000" : kSerial, "TS-Meter1"));
        if (generic) {
            image.blocks.push_back(birdmake::SerialOffsetsBlock(0x100, 0x120));
            ASSERT_TRUE(birdmake::WritePlaceholders(image, 0x100, 0x120));
        }
        birdmake::EncodeFirmwareBlocks(image, chip);
        const std::vector<uint8_t> bytes = birdmake::MakeFile(image);
        WriteFile(path, std::string(bytes.begin(), bytes.end()));
    }
    std::string Image(const std::string& name, const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& blocks,
                      const std::array<uint32_t, 4>& chip = kChip)
    {
        const std::string path = work_.file(name);
        WriteImage(path, blocks, chip, false);
        return path;
    }

    // The one chip of the case, fresh from reset on its pseudo-terminal.
    std::string StartChip(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = {LPCSIM_BIN, "--uid", "0x11111111,0x22222222,0x33333333,0x44444444",
                                         "--flash-out", flash()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        chip_ = std::make_unique<BackgroundProcess>(argv, work_.path() + "/lpcsim.log");
        const std::string line = chip_->ReadLine();
        EXPECT_EQ(line.rfind("pty ", 0), 0u) << line << ReadFile(work_.path() + "/lpcsim.log");
        return line.size() > 4 ? line.substr(4) : "";
    }

    ProcessResult Run(std::vector<std::string> args)
    {
        std::vector<std::string> argv = {UPDATER_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-u", url_, "-i", work_.path() + "/store"});
        ProcessOptions options;
        options.env["HOME"] = work_.path();
        options.timeout = std::chrono::milliseconds(60000);
        return RunProcess(argv, options);
    }

    // Stops the chip; its flash as it was left, and its counters ("erases 1, ...").
    std::string StopChip()
    {
        chip_->Stop();
        counters_ = ReadFile(work_.path() + "/lpcsim.log");
        return ReadFile(flash());
    }
    bool Counted(const std::string& what) const { return counters_.find(what) != std::string::npos; }
    std::string flash() const { return work_.path() + "/flash.bin"; }

    TempDir work_;
    std::string url_;
    std::vector<uint8_t> firmware_;
    std::unique_ptr<BackgroundProcess> server_;
    std::unique_ptr<BackgroundProcess> chip_;
    std::string counters_;
};

// The whole job on one chip with the chip's own timing (an erase of 30
// sectors takes 3 s): the fingerprint, then recovery at the same rate. The
// chip is still in its command mode from the first run; the server names the
// module, the image is fetched, decoded, written, and started by the chip's
// own vector rule.
TEST_F(LpcRecovery, FingerprintThenRecoverOnOneChip)
{
    const std::string port = StartChip();
    ProcessResult r = Run({"-N", "-s", port, "-o", "57600"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Updater (Version: 2.12.0 Dec  4 2025)\n[ 11111111 22222222 33333333 44444444 ]\n");
    // For a script: the same words, and nothing else on standard output.
    r = Run({"-N", "-s", port, "-o", "57600", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out),
              nlohmann::json::parse(R"({"chip": "LPC", "fingerprint": ["11111111", "22222222", "33333333", "44444444"]})"));

    r = Run({"-U", "-t", "RECOVER", "-s", port, "-o", "57600"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Transferring firmware block 1 of 1, 20000 bytes\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Rebooting Device\n"), std::string::npos) << r.out;
    EXPECT_EQ(chip_->ReadLine(), "go 0x00000000, user code valid");
    const std::string flash = StopChip();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_TRUE(Slice(flash, 0, firmware_.size()) == firmware_);
    EXPECT_EQ(flash.find_first_not_of('\xFF', 20480), std::string::npos) << "the rest of the flash stays erased";
    EXPECT_TRUE(Counted("syncs 1,") && Counted("erases 1,") && Counted("garbled 0,") && Counted("corrupted lines 0"))
        << counters_;
    EXPECT_NE(ReadFile(work_.path() + "/store/updater/5A5A0042/.settings").find("LATEST_DOWNLOAD=3001.bird"),
              std::string::npos);
}

// A recovery that fails after the erase says so, and what the chip is left
// with; the same command run again on the same chip finishes the job, even
// without the -o the first run had: the chip is found at the rate it keeps.
TEST_F(LpcRecovery, RetryAfterAFailedRecovery)
{
    const std::string port = StartChip({"--erase-ms", "5", "--fault", "copy-fail=3"});
    ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", port, "-o", "57600"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(kErasedAndNotWritten), std::string::npos) << r.err;

    r = Run({"-U", "-t", "RECOVER", "-s", port});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string flash = StopChip();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_TRUE(Slice(flash, 0, firmware_.size()) == firmware_);
    EXPECT_TRUE(Counted("erases 2,") && Counted("corrupted lines 0")) << counters_;
}

// Blocks laid into one flash map and written so that no line is programmed
// twice: a block that starts inside the copy the block before it would have
// rounded up to, one that starts off a 256-byte boundary, and one in the top
// sector whose rounded-up copy would pass the end of flash. The table passes
// the older six-word rule of our image tools only: it is accepted, and its
// check word written by the chip's rule, so that the chip starts it.
TEST_F(LpcRecovery, BlocksWrittenAsTheyLieInFlash)
{
    const std::vector<uint8_t> head = Firmware(1100, 11, false);
    const std::vector<uint8_t> next = birdmake::RandomData(3000, 12);
    const std::vector<uint8_t> unaligned = birdmake::RandomData(500, 13);
    const std::vector<uint8_t> top = birdmake::RandomData(1100, 14);
    const std::string image =
        Image("shapes.bird", {{0, head}, {0x800, next}, {0x2064, unaligned}, {0x7F800, top}});
    const ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", StartChip({"--erase-ms", "5"}), "-f", image});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Transferred 4 blocks, 5700 total bytes\n"), std::string::npos) << r.out;
    EXPECT_EQ(chip_->ReadLine(), "go 0x00000000, user code valid");
    const std::string flash = StopChip();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_TRUE(Slice(flash, 0, 28) == Slice(std::string(head.begin(), head.end()), 0, 28));
    EXPECT_TRUE(Slice(flash, 32, head.size() - 32) == Slice(std::string(head.begin(), head.end()), 32, head.size() - 32));
    EXPECT_TRUE(Slice(flash, 0x800, next.size()) == next);
    EXPECT_TRUE(Slice(flash, 0x2064, unaligned.size()) == unaligned);
    EXPECT_TRUE(Slice(flash, 0x7F800, top.size()) == top);
    EXPECT_EQ(flash.substr(0x800 + next.size(), 0x2064 - 0x800 - next.size()),
              std::string(0x2064 - 0x800 - next.size(), '\xFF'));
    EXPECT_TRUE(Counted("corrupted lines 0") && Counted("refused 0,")) << counters_;
}

// Images the chip cannot take are refused with the reason before anything is
// erased: a block past the end of flash, no vector table at address 0 (the
// whole flash is erased, so such an image could never start), an image
// encoded for another chip, and a generic image.
TEST_F(LpcRecovery, ImagesTheChipCannotTakeLeaveTheFlashAlone)
{
    const std::string port = StartChip({"--erase-ms", "5"});
    struct Case {
        std::string image;
        std::string error;
    };
    const std::vector<Case> cases = {
        {Image("past-end.bird", {{0, Firmware(1000, 21, true)}, {0x7F000, birdmake::RandomData(8192, 22)}}),
         "firmware block 2 (8192 bytes at 0x0007F000) does not fit in the chip's flash (0x00000000-0x0007FFFF)"},
        {Image("no-table.bird", {{0x1000, firmware_}}), "has no vector table at address 0"},
        {Image("other-chip.bird", {{0, firmware_}}, {1, 2, 3, 4}), "does not decode for this chip"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", port, "-f", c.image});
        EXPECT_EQ(r.exitCode, 1) << c.image;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was erased"), std::string::npos) << r.err;
    }
    WriteImage(work_.file("generic.bird"), {{0, firmware_}}, kChip, true);
    const ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", port, "-f", work_.file("generic.bird")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Updater does not support offline recovery\n"), std::string::npos) << r.err;

    const std::string flash = StopChip();
    EXPECT_EQ(flash.find_first_not_of('\xFF'), std::string::npos) << "nothing written";
    EXPECT_TRUE(Counted("erases 0,")) << counters_;
}

// No boot ROM answers: the fingerprint fails with its message and exit 1,
// within seconds.
TEST_F(LpcRecovery, NoChipAnswering)
{
    const auto start = std::chrono::steady_clock::now();
    ProcessResult r = Run({"-N", "-s", StartChip({"--fault", "silence=1"}), "-X", "0x10000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Got no response from chip\n"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// A device that echoes what it is sent and answers with lines of its own (a
// module's console printing its help) is no LPC chip: no fingerprint, exit 1.
TEST_F(LpcRecovery, NotAnLpcChip)
{
    simline::PacedPty console(
        [](const uint8_t* bytes, size_t length, unsigned, simline::Reply& reply) {
            simline::appendBytes(reply, std::string(reinterpret_cast<const char*>(bytes), length) +
                                            "\r\nunknown command; try one of:\r\n  help\r\n  status\r\n"
                                            "  reboot\r\n  log 1\r\n> ");
        },
        0);
    std::string error;
    ASSERT_TRUE(console.start(&error)) << error;
    const ProcessResult r = Run({"-N", "-s", console.slavePath()});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.out.find("[ "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Got no response from chip\n"), std::string::npos) << r.err;
}

}  // namespace
