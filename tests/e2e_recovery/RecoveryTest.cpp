// Fingerprint and recovery of an LPC module through its boot ROM, with the
// real binary, the boot-ROM emulator on a pseudo-terminal and the local
// update server mapping the chip's fingerprint to its module.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Background.h"
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

// Firmware whose vector table a chip accepts: the check word (word 7) makes
// words 0-4, 6 and 7 sum to zero.
std::vector<uint8_t> StartableFirmware(size_t size, uint64_t seed)
{
    std::vector<uint8_t> data = birdmake::RandomData(size, seed);
    auto word = [&](int w) {
        return uint32_t(data[4 * w]) | uint32_t(data[4 * w + 1]) << 8 | uint32_t(data[4 * w + 2]) << 16 |
               uint32_t(data[4 * w + 3]) << 24;
    };
    uint32_t check = 0u - (word(0) + word(1) + word(2) + word(3) + word(4) + word(6));
    for (int b = 0; b < 4; ++b)
        data[28 + b] = uint8_t(check >> (8 * b));
    return data;
}

class LpcRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        firmware_ = StartableFirmware(20000, 7);
        const std::string device = work_.path() + "/catalogue/devices/" + kSerial;
        RunProcess({"/bin/mkdir", "-p", device + "/builds", work_.path() + "/catalogue/fix"});
        AddImage(device + "/builds/3001.bird", kChip, false);
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

    // An image of the firmware, encoded for the chip with that identifier.
    void AddImage(const std::string& path, const std::array<uint32_t, 4>& chip, bool generic)
    {
        birdmake::Image image;
        image.blocks.push_back(birdmake::FirmwareBlock(0, firmware_));
        image.blocks.push_back(birdmake::InfoBlock("3001", "2.13.0", generic ? "00000000" : kSerial, "TS-Meter1"));
        if (generic) {
            image.blocks.push_back(birdmake::SerialOffsetsBlock(0x100, 0x120));
            ASSERT_TRUE(birdmake::WritePlaceholders(image, 0x100, 0x120));
        }
        birdmake::EncodeFirmwareBlocks(image, chip);
        const std::vector<uint8_t> bytes = birdmake::MakeFile(image);
        WriteFile(path, std::string(bytes.begin(), bytes.end()));
    }

    // A chip fresh from reset on a new pseudo-terminal.
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

    // The flash as the chip holds it once it has gone (dumped on exit).
    std::string FlashAfterStop()
    {
        chip_->Stop();
        return ReadFile(flash());
    }
    std::string flash() const { return work_.path() + "/flash.bin"; }

    TempDir work_;
    std::string url_;
    std::vector<uint8_t> firmware_;
    std::unique_ptr<BackgroundProcess> server_;
    std::unique_ptr<BackgroundProcess> chip_;
};

// The whole job: the fingerprint, then recovery from a chip reset into its
// boot ROM: the server names the module, the image is fetched, decoded for
// this chip and written into its flash, and the chip is started.
TEST_F(LpcRecovery, FingerprintThenRecoverWritesTheDecodedImage)
{
    ProcessResult r = Run({"-N", "-s", StartChip()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Updater (Version: 2.12.0 Dec  4 2025)\n[ 11111111 22222222 33333333 44444444 ]\n");
    // For a script: the same words, and nothing else on standard output.
    r = Run({"-N", "-s", StartChip(), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out),
              nlohmann::json::parse(R"({"chip": "LPC", "fingerprint": ["11111111", "22222222", "33333333", "44444444"]})"));

    r = Run({"-U", "-t", "RECOVER", "-s", StartChip()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Rebooting Device\n"), std::string::npos) << r.out;
    const std::string flash = FlashAfterStop();
    ASSERT_GE(flash.size(), firmware_.size());
    EXPECT_EQ(flash.substr(0, firmware_.size()), std::string(firmware_.begin(), firmware_.end()));
    EXPECT_EQ(flash.find_first_not_of('\xFF', 20480), std::string::npos) << "the rest of the flash stays erased";
    EXPECT_NE(testsupport::ReadFile(work_.path() + "/store/updater/5A5A0042/.settings").find("LATEST_DOWNLOAD=3001.bird"),
              std::string::npos);
}

// An image encoded for another chip decodes to garbage: refused before the
// flash is erased. A generic image cannot be recovered offline.
TEST_F(LpcRecovery, ImagesThatCannotBeRecoveredLeaveTheFlashAlone)
{
    AddImage(work_.path() + "/catalogue/devices/" + kSerial + "/builds/3001.bird", {1, 2, 3, 4}, false);
    ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", StartChip()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not decode for this chip"), std::string::npos) << r.err;

    AddImage(work_.path() + "/generic.bird", kChip, true);
    r = Run({"-U", "-t", "RECOVER", "-s", StartChip(), "-f", work_.path() + "/generic.bird"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Updater does not support offline recovery\n"), std::string::npos) << r.err;
    const std::string flash = FlashAfterStop();
    EXPECT_TRUE(flash.empty() || flash.find_first_not_of('\xFF') == std::string::npos) << "nothing written";
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

}  // namespace
