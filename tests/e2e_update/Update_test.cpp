// Firmware updates through the real program: the module's flash afterwards
// must hold exactly the file's firmware blocks, the module must run the new
// build, and the store must record the transfer.
#include <algorithm>

#include "ModuleNetwork.h"
#include "WireCapture.h"

using namespace e2e;
using testsupport::ProcessResult;
using testsupport::ReadFile;

namespace {

constexpr const char* kSerial = "40F5849A";
constexpr std::uint32_t kSerialNumber = 0x40F5849A;

std::vector<std::string> ModuleArgs(const std::string& dump)
{
    return {"--serial", kSerial, "--model", "4", "--address", "2", "--version", "2.11.3", "--build", "1000", "--name",
            "bench-3 hub", "--block-size", "512", "--image-out", dump};
}

// What the program prints for a file of two firmware blocks sent whole.
std::string UpdateLines(const std::string& firstLine, std::size_t firmwareBytes)
{
    return firstLine +
           "Transferring loader to device\nTransferring loader block 1 of 1, 68 bytes\n"
           "Transferred 1 blocks, 68 total bytes\nStarting Load on Device\n"
           "Transferring firmware block 1 of 2, 5004 bytes\nTransferring firmware block 2 of 2, 304 bytes\n"
           "Transferred 2 blocks, " +
           std::to_string(firmwareBytes) + " total bytes\nUpdate time: # sec\n";
}

// The upgrade requests of a whole update of the default image with block
// size 512: INIT, the loader block, LOAD; then for each firmware block
// PREPARE and, per piece, the data, SUM and WRITE; REBOOT last.
std::vector<int> Conversation(bool ueiForm)
{
    auto data = [&](std::vector<int>& v, std::size_t bytes) {
        if (ueiForm)
            v.push_back(10);
        else
            v.insert(v.end(), (bytes + 25) / 26, 1);
    };
    std::vector<int> v = {0, 3};
    v.insert(v.end(), (64 + 25) / 26, 1);  // the loader always goes as DATA packets
    v.insert(v.end(), {4, 2});
    for (std::size_t block : {std::size_t(5000), std::size_t(300)}) {
        v.push_back(3);
        for (std::size_t left = block; left > 0; left -= std::min<std::size_t>(left, 512)) {
            data(v, std::min<std::size_t>(left, 512));
            v.insert(v.end(), {4, 5});
        }
    }
    v.push_back(6);
    return v;
}

class Update : public ModuleNetwork {
protected:
    // -G -U -d with the given transfer mode: the image comes from the update
    // server, goes into the store, then into the module.
    void DownloadAndUpdate(const std::string& mode)
    {
        ImagePlan plan;
        plan.serial = kSerial;
        const std::vector<std::uint8_t> bird = MakeBird(plan);
        Publish(kSerial, 2001, "2.16.1", bird);
        SimulatedModule& module = StartModule(ModuleArgs(file("flash.bin")));
        WireCapture wire;
        std::string why;
        ASSERT_TRUE(wire.Start(module.port(), &why)) << why;

        ProcessResult r = Updater({"-G", "-U", "-d", kSerial, "-m", mode});
        wire.Stop();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(MaskUpdateTime(r.out),
                  kVersionLine + "Retrieving firmware for device with serial number 40F5849A\n"
                                 "No build specified\nUsing Latest build\n"
                                 "Retrieving build 2001\nValidating build 2001 with server\nBuild 2001 is valid\n" +
                      UpdateLines("Updating firmware with build: 2001\n", 5308));
        EXPECT_TRUE(ReadFile(file("flash.bin")) == ExpectedFlash(bird)) << "the module's flash differs from the file";
        ASSERT_EQ(wire.problem(), "");
        EXPECT_EQ(UpgradeRequests(wire.fromHost(), 2), Conversation(mode == "1"));

        const std::string settings = Settings(kSerial);
        EXPECT_NE(settings.find("LATEST_DOWNLOAD=2001.bird\n"), std::string::npos) << settings;
        EXPECT_NE(settings.find("LATEST_TRANSFER=2001.bird\n"), std::string::npos) << settings;
        EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;

        // The module now runs what the image's identity record names.
        ProcessResult listed = Updater({"-D", "-t", "TCPIP"});
        EXPECT_EQ(listed.out, kVersionLine + "Searching for Tessaluma devices\nDiscovered Devices: (TCPIP)\n" +
                                  kTcpHeader + TcpDeviceLine(kSerialNumber, 2, 2, "TS-Hub4", 2, 16, 1, 2001,
                                                             "bench-3 hub"));
    }
};

}  // namespace

TEST_F(Update, PacketFormDownloadedThenWritten)
{
    DownloadAndUpdate("0");
}

TEST_F(Update, UeiFormDownloadedThenWritten)
{
    DownloadAndUpdate("1");
}

// A generic image from a path: the serial number goes in at the image's
// offsets before it is sent; the store records the path it came from.
TEST_F(Update, GenericImageGetsTheSerialNumber)
{
    ImagePlan plan;
    plan.generic = true;
    const std::vector<std::uint8_t> bird = MakeBird(plan);
    WriteBird(file("generic.bird"), bird);
    StartModule(ModuleArgs(file("flash.bin")));

    ProcessResult r = Updater({"-U", "-d", kSerial, "-f", file("generic.bird")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(MaskUpdateTime(r.out),
              kVersionLine + UpdateLines("Updating from Birdfile: " + file("generic.bird") + "\n", 5308));
    const std::string flash = ReadFile(file("flash.bin"));
    EXPECT_TRUE(flash == ExpectedFlash(bird, kSerialNumber)) << "the module's flash differs from the file";
    EXPECT_EQ(flash.substr(0x100, 4), "\x9A\x84\xF5\x40");
    const std::string settings = Settings(kSerial);
    EXPECT_NE(settings.find("LATEST_TRANSFER=" + file("generic.bird") + "\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;
}

// Through a router: the module's bus address is found by a scan, the data
// goes over the router's link, and the router itself is left alone.
TEST_F(Update, ThroughARouter)
{
    ImagePlan plan;
    plan.serial = "0000B001";
    plan.model = "TS-Power2";
    plan.version = "2.17.2";
    const std::vector<std::uint8_t> bird = MakeBird(plan);
    Publish("0000B001", 2001, "2.17.2", bird);
    SimulatedModule& router = StartModule(
        {"--serial", "0000C0DE", "--model", "14", "--address", "6", "--version", "2.16.1", "--build", "10",
         "--image-out", file("router.bin"), "--behind", "0000B001,4,19,2.16.1,900", "--behind",
         "0000B002,8,19,2.10.3,901", "--behind-image-out", "0000B001," + file("b001.bin"), "--behind-image-out",
         "0000B002," + file("b002.bin")});
    WireCapture wire;
    std::string why;
    ASSERT_TRUE(wire.Start(router.port(), &why)) << why;

    ProcessResult r = Updater({"-G", "-U", "-d", "0000B001", "-r", "0000C0DE"});
    wire.Stop();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(MaskUpdateTime(r.out),
              kVersionLine + "Retrieving firmware for device with serial number 0000B001\n"
                             "No build specified\nUsing Latest build\n"
                             "Retrieving build 2001\nValidating build 2001 with server\nBuild 2001 is valid\n" +
                  UpdateLines("Updating firmware with build: 2001\n", 5308));
    EXPECT_TRUE(ReadFile(file("b001.bin")) == ExpectedFlash(bird)) << "the module's flash differs from the file";
    EXPECT_EQ(ReadFile(file("b002.bin")), "");
    EXPECT_EQ(ReadFile(file("router.bin")), "");
    ASSERT_EQ(wire.problem(), "");
    EXPECT_EQ(UpgradeRequests(wire.fromHost(), 4), Conversation(true));
    EXPECT_TRUE(UpgradeRequests(wire.fromHost(), 6).empty());
    EXPECT_NE(Settings("0000B001").find("LATEST_TRANSFER=2001.bird\n"), std::string::npos);

    ProcessResult listed = Updater({"-D", "-r", "0000C0DE"});
    EXPECT_EQ(SortDeviceLines(listed.out),
              SortDeviceLines(kVersionLine + "Searching for Tessaluma Network devices connected to 0000C0DE\n"
                                             "Discovered Devices: (Unknown)\n" +
                              kTcpHeader + TcpDeviceLine(0x0000B001, 4, 6, "TS-Power2", 2, 17, 2, 2001, "") +
                              TcpDeviceLine(0x0000B002, 8, 6, "TS-Power2", 2, 10, 3, 901, "")));
}

// Pieces as large as a module may ask for, in the UEI form: 4096 bytes, a
// series numbered past 127, and 24600 bytes, a series of 1025 packets, more
// than the link's output queue holds at once. Both are written exactly.
TEST_F(Update, LargePiecesInUeiForm)
{
    ImagePlan plan;
    plan.serial = kSerial;
    plan.firmware = {{0x0, 30000}, {0x10000, 700}};
    const std::vector<std::uint8_t> bird = MakeBird(plan);
    WriteBird(file("large.bird"), bird);
    for (const std::string blockSize : {"4096", "24600"}) {
        SCOPED_TRACE(blockSize);
        const std::string dump = file("flash-" + blockSize + ".bin");
        SimulatedModule& module = StartModule({"--serial", kSerial, "--model", "4", "--address", "2", "--block-size",
                                               blockSize, "--reenumerate-ms", "0", "--image-out", dump});
        ProcessResult r = Updater({"-U", "-d", kSerial, "-f", file("large.bird"), "-m", "1"});
        module.Stop();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(ReadFile(dump) == ExpectedFlash(bird)) << "the module's flash differs from the file";
    }
}

// A module that is back at once after each restart is not waited for; one
// that takes a few seconds is found again when it is back. Both end with the
// exact image.
TEST_F(Update, ModulesRestartingAtOnceOrAfterSeconds)
{
    ImagePlan plan;
    plan.serial = kSerial;
    const std::vector<std::uint8_t> bird = MakeBird(plan);
    WriteBird(file("image.bird"), bird);
    for (const std::string pause : {"0", "2500"}) {
        SCOPED_TRACE(pause);
        const std::string dump = file("flash-" + pause + ".bin");
        SimulatedModule& module = StartModule({"--serial", kSerial, "--model", "4", "--address", "2",
                                               "--reenumerate-ms", pause, "--image-out", dump});
        ProcessResult r = Updater({"-U", "-d", kSerial, "-f", file("image.bird")});
        module.Stop();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(MaskUpdateTime(r.out), kVersionLine + UpdateLines("Updating from Birdfile: " + file("image.bird") +
                                                                        "\n",
                                                                    5308));
        EXPECT_TRUE(ReadFile(dump) == ExpectedFlash(bird)) << "the module's flash differs from the file";
        if (pause == "0") {
            EXPECT_LT(UpdateSeconds(r.out), 5.0) << r.out;
        }
    }
}
