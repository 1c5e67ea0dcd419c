// Updates that go wrong: each ends with exit code 1, its message, and the
// store's record of the last good transfer untouched; those that recover
// leave an exact image.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "ModuleNetwork.h"
#include "WireCapture.h"

using namespace e2e;
using testsupport::ProcessResult;
using testsupport::ReadFile;

namespace {

constexpr const char* kSerial = "40F5849A";
constexpr const char* kEarlier = "LATEST_TRANSFER=1000.bird\nLAST_TRANSFER_DATE=Mon Dec  1 10:00:00 2025\n";
const std::string kLoaderLines =
    "Updating firmware with build: 2001\nTransferring loader to device\n"
    "Transferring loader block 1 of 1, 68 bytes\nTransferred 1 blocks, 68 total bytes\nStarting Load on Device\n";
const std::string kFirstBlock = "Transferring firmware block 1 of 2, 5004 bytes\n";

int Count(const std::vector<int>& requests, int value)
{
    return int(std::count(requests.begin(), requests.end(), value));
}

class UpdateFault : public ModuleNetwork {
protected:
    // Build 2001 in the store, and the record of an earlier transfer.
    void SetUp() override
    {
        ModuleNetwork::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ImagePlan plan;
        plan.serial = kSerial;
        bird_ = MakeBird(plan);
        SeedSettings(kSerial, kEarlier);
        WriteBird(deviceDir(kSerial) + "/2001.bird", bird_);
    }

    // The module, with its faults, and a capture of its conversation.
    void StartModuleWith(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {"--serial",  kSerial, "--model",      "4",   "--address",
                                         "2",         "--version", "2.11.3",   "--build", "1000",
                                         "--block-size", "512", "--image-out", file("flash.bin")};
        args.insert(args.end(), extra.begin(), extra.end());
        SimulatedModule& module = StartModule(args);
        std::string why;
        ASSERT_TRUE(wire_.Start(module.port(), &why)) << why;
    }

    // -U of the stored build, timed; the capture ends with it.
    ProcessResult UpdateStored(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"-U", "-d", kSerial, "-b", "2001"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto start = std::chrono::steady_clock::now();
        ProcessResult r = Updater(args);
        seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        wire_.Stop();
        EXPECT_EQ(wire_.problem(), "");
        return r;
    }

    std::vector<int> requests() const { return UpgradeRequests(wire_.fromHost(), 2); }

    void ExpectEarlierRecordKept()
    {
        EXPECT_EQ(Settings(kSerial), kEarlier);
    }

    std::vector<std::uint8_t> bird_;
    WireCapture wire_;
    double seconds_ = 0;
};

}  // namespace

// The module goes for good in the middle of the first firmware block: the
// retry finds nobody to prepare the block, and the update fails.
TEST_F(UpdateFault, ModuleVanishingMidTransfer)
{
    StartModuleWith({"--fault", "vanish=40"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kVersionLine + kLoaderLines + kFirstBlock + kFirstBlock + "  Retry 1\n"
                                                                               "Transferred 0 blocks, 0 total bytes\n");
    EXPECT_EQ(r.err, "NETWORK: Failed to transfer firmware\n"
                     "Failed to update the firmware of module [40F5849A] (25, aErrConnection)\n");
    EXPECT_EQ(Count(requests(), 5), 1);  // the first piece was written, no more
    EXPECT_EQ(Count(requests(), 6), 0);
    EXPECT_LT(seconds_, 15.0);
    ExpectEarlierRecordKept();
}

// A sum that never matches: five attempts at the block, then failure.
TEST_F(UpdateFault, BlockThatNeverValidates)
{
    StartModuleWith({"--fault", "bad-sum=100@2"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 1);
    std::string out = kVersionLine + kLoaderLines + kFirstBlock;
    for (int retry = 1; retry <= 4; ++retry)
        out += kFirstBlock + "  Retry " + std::to_string(retry) + "\n";
    EXPECT_EQ(r.out, out + "Transferred 0 blocks, 0 total bytes\n");

    const std::string firstPiece = ExpectedFlash(bird_).substr(0, 512);
    std::uint32_t sum = 0;
    for (char c : firstPiece)
        sum += std::uint8_t(c);
    char line[128];
    std::snprintf(line, sizeof line, "\nNETWORK: Unable to validate transfer [00] [%08X != %08X].\n", unsigned(sum),
                  unsigned(sum + 1));
    std::string err;
    for (int attempt = 0; attempt < 5; ++attempt)
        err += line + std::string("NETWORK: Failed to transfer firmware\n");
    EXPECT_EQ(r.err, err + "Failed to update the firmware of module [40F5849A] (29, aErrInvalidOption)\n");
    EXPECT_EQ(Count(requests(), 3), 1 + 5);
    EXPECT_EQ(Count(requests(), 5), 0);
    EXPECT_EQ(Count(requests(), 6), 0);
    ExpectEarlierRecordKept();
}

// A refused PREPARE ends the block's attempts at once: no data follows it.
TEST_F(UpdateFault, PrepareRefused)
{
    StartModuleWith({"--fault", "prepare-fail=6@2"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kVersionLine + kLoaderLines + kFirstBlock + "Transferred 0 blocks, 0 total bytes\n");
    EXPECT_EQ(r.err, "Failed to update the firmware of module [40F5849A] (29, aErrInvalidOption)\n");
    const std::vector<int> v = requests();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back(), 3);
    EXPECT_EQ(Count(v, 3), 2);
    ExpectEarlierRecordKept();
}

// A PREPARE answered with block size 0 would give pieces of no bytes
// forever; the update stops there instead.
TEST_F(UpdateFault, BlockSizeZero)
{
    StartModuleWith({"--fault", "prepare-zero@2"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kVersionLine + kLoaderLines + kFirstBlock + "Transferred 0 blocks, 0 total bytes\n");
    EXPECT_EQ(r.err, "Failed to update the firmware of module [40F5849A] (29, aErrInvalidOption)\n");
    const std::vector<int> v = requests();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back(), 3);
    EXPECT_LT(seconds_, 15.0);
    ExpectEarlierRecordKept();
}

// Files that do not fit the module are refused before anything is sent:
// another model, another serial number (written only with -OVERRIDE), a
// truncated file (refused before the module is even reached).
TEST_F(UpdateFault, FilesThatDoNotFit)
{
    StartModuleWith({});
    ImagePlan plan;
    plan.serial = kSerial;
    plan.model = "TS-Hub8";
    WriteBird(file("other-model.bird"), MakeBird(plan));
    plan.serial = "40F5849B";
    plan.model = "TS-Hub4";
    const std::vector<std::uint8_t> otherSerial = MakeBird(plan);
    WriteBird(file("other-serial.bird"), otherSerial);
    WriteBird(file("truncated.bird"), std::vector<std::uint8_t>(bird_.begin(), bird_.begin() + bird_.size() / 2));

    ProcessResult model = Updater({"-U", "-d", kSerial, "-f", file("other-model.bird")});
    EXPECT_EQ(model.exitCode, 1);
    EXPECT_EQ(model.out, kVersionLine + "Updating from Birdfile: " + file("other-model.bird") + "\n");
    EXPECT_EQ(model.err, "Connected device model and Bird file model do not match [TS-Hub4] (0)\n"
                         "Birdfile failed validation\n");

    ProcessResult serial = Updater({"-U", "-d", kSerial, "-f", file("other-serial.bird")});
    EXPECT_EQ(serial.exitCode, 1);
    EXPECT_EQ(serial.out, kVersionLine + "Updating from Birdfile: " + file("other-serial.bird") + "\n");
    EXPECT_EQ(serial.err, "Birdfile failed validation\n");

    ProcessResult truncated = Updater({"-U", "-d", kSerial, "-f", file("truncated.bird")});
    EXPECT_EQ(truncated.exitCode, 1);
    EXPECT_EQ(truncated.out, kVersionLine + "Updating from Birdfile: " + file("truncated.bird") + "\n");
    EXPECT_EQ(truncated.err, "Failed to load bird file\n");

    // Files that would update nothing, refused whatever -OVERRIDE says: one
    // without loader blocks, one without firmware blocks.
    plan = ImagePlan();
    plan.serial = kSerial;
    plan.loader = false;
    WriteBird(file("no-loader.bird"), MakeBird(plan));
    plan.loader = true;
    plan.firmware.clear();
    WriteBird(file("no-firmware.bird"), MakeBird(plan));
    for (const std::string override : {"", "-OVERRIDE"}) {
        for (const auto& [name, why] : {std::pair<std::string, std::string>{"no-loader", "no loader blocks"},
                                        std::pair<std::string, std::string>{"no-firmware", "no firmware blocks"}}) {
            std::vector<std::string> args = {"-U", "-d", kSerial, "-f", file(name + ".bird")};
            if (!override.empty())
                args.push_back(override);
            ProcessResult nothing = Updater(args);
            EXPECT_EQ(nothing.exitCode, 1) << name << " " << override;
            EXPECT_EQ(nothing.out, kVersionLine + "Updating from Birdfile: " + file(name + ".bird") + "\n");
            EXPECT_EQ(nothing.err, "Birdfile has " + why + "\n");
        }
    }

    EXPECT_EQ(ReadFile(file("flash.bin")), "");
    ExpectEarlierRecordKept();

    ProcessResult forced = Updater({"-U", "-d", kSerial, "-f", file("other-serial.bird"), "-OVERRIDE"});
    wire_.Stop();
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_TRUE(ReadFile(file("flash.bin")) == ExpectedFlash(otherSerial)) << "the module's flash differs";
    EXPECT_NE(Settings(kSerial).find("LATEST_TRANSFER=" + file("other-serial.bird") + "\n"), std::string::npos);
    // Only the forced run spoke the upgrade protocol.
    EXPECT_EQ(Count(requests(), 0), 1);
}

// A block whose sum fails twice is sent again and the third attempt holds.
TEST_F(UpdateFault, BlockFailingTwiceIsRetried)
{
    StartModuleWith({"--fault", "bad-sum=2@2"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(MaskUpdateTime(r.out), kVersionLine + kLoaderLines + kFirstBlock + kFirstBlock + "  Retry 1\n" +
                                         kFirstBlock + "  Retry 2\n" +
                                         "Transferring firmware block 2 of 2, 304 bytes\n"
                                         "Transferred 2 blocks, 5308 total bytes\nUpdate time: # sec\n");
    EXPECT_TRUE(ReadFile(file("flash.bin")) == ExpectedFlash(bird_)) << "the module's flash differs from the file";
    EXPECT_NE(Settings(kSerial).find("LATEST_TRANSFER=2001.bird\n"), std::string::npos);
}

// DATA acknowledged one byte short, three times: each chunk goes again and
// the image is still exact.
TEST_F(UpdateFault, ShortDataAcknowledgementIsResent)
{
    StartModuleWith({"--fault", "short-data=3@10"});
    ProcessResult r = UpdateStored({"-m", "0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ReadFile(file("flash.bin")) == ExpectedFlash(bird_)) << "the module's flash differs from the file";
    // 3 loader chunks, 196 + 12 firmware chunks, and the three sent twice.
    EXPECT_EQ(Count(requests(), 1), 3 + 196 + 12 + 3);
    EXPECT_EQ(Count(requests(), 5), 10 + 1);
}

// Answers that come after the host stopped waiting (a slow flash write, a
// slow erase, a slow sum) sit in front of the next answer: none is taken for
// another request's, each block is sent again, and the image is exact.
TEST_F(UpdateFault, LateAcknowledgementsEndWithTheExactImage)
{
    StartModuleWith({"--fault", "late-write=1100", "--fault", "late-prepare=1100@4", "--fault", "late-sum=1100@9"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ReadFile(file("flash.bin")) == ExpectedFlash(bird_)) << "the module's flash differs from the file";
    EXPECT_NE(r.out.find("  Retry 1\n"), std::string::npos) << r.out;
    EXPECT_NE(Settings(kSerial).find("LATEST_TRANSFER=2001.bird\n"), std::string::npos);
    EXPECT_EQ(Count(requests(), 6), 1);
}

// The same for the loader block, answered late twice (a DATA, then a SUM):
// it is sent again like a firmware block, and the update ends as it should.
TEST_F(UpdateFault, LateAnswersToTheLoaderBlockAreRetried)
{
    StartModuleWith({"--fault", "late-data=1100@1", "--fault", "late-sum=1100@1"});
    ProcessResult r = UpdateStored();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string block = "Transferring loader block 1 of 1, 68 bytes\n";
    EXPECT_EQ(r.out.substr(0, r.out.find("Starting Load")),
              kVersionLine + "Updating firmware with build: 2001\nTransferring loader to device\n" + block + block +
                  "  Retry 1\n" + block + "  Retry 2\nTransferred 1 blocks, 68 total bytes\n");
    EXPECT_TRUE(ReadFile(file("flash.bin")) == ExpectedFlash(bird_)) << "the module's flash differs from the file";
    EXPECT_NE(Settings(kSerial).find("LATEST_TRANSFER=2001.bird\n"), std::string::npos);
}
