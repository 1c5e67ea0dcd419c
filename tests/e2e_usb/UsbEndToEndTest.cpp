// Updater as a user runs it, against modules on an emulated USB bus: the
// listing, updates across the loader's re-enumeration in packet and UEI form
// (the module's flash compared byte for byte), and a module that goes away
// in the middle of an update.
#include "Process.h"
#include "Spawn.h"
#include "UsbBed.h"
#include "ModuleFirmware.h"
#include "UpgradeLoader.h"
#include "birdmake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;
using testsupport::ReadFile;
using testsupport::TempDir;
using usbbed::RunResult;
using testsupport::WriteFile;

namespace {

constexpr std::uint32_t kSerial = 0x40F5849A;
constexpr const char* kSerialText = "40F5849A";
constexpr std::uint16_t kHub4 = 0x0004;          // product ID: low byte is the model (TS-Hub4)
constexpr std::uint16_t kLoaderProduct = 0x0104;  // the loader's product ID

class UsbEndToEnd : public ::testing::Test {
protected:
    TempDir work;
    std::deque<modsim::ModuleSession> sessions;  // outlive the bed that serves them
    usbbed::UsbBed bed;

    modsim::ModuleSession& session(std::uint32_t serial, std::uint8_t model, const std::string& version,
                                   std::uint32_t build, const std::string& name = "") {
        modsim::ModuleConfig c;
        c.serial = serial;
        c.model = model;
        modsim::parseVersion(version, c);
        c.build = build;
        c.name = name;
        c.blockSize = 1024;
        return sessions.emplace_back(c, modsim::Framing::Raw);
    }

    usbbed::UsbModule& plug(modsim::ModuleSession& s, const std::string& serial, std::uint16_t product,
                            std::uint16_t vendor = 0xF5A3) {
        usbbed::ModuleOptions o;
        o.identity.serial = serial;
        o.identity.product = product;
        o.identity.vendor = vendor;
        o.loaderProduct = kLoaderProduct;
        // Only a host that lists the bus afresh finds the module when it comes
        // back, as when the hotplug event is missed.
        o.announceReturn = false;
        return bed.add(s, o);
    }

    RunResult updater(std::vector<std::string> args) {
        args.insert(args.begin(), UPDATER_BIN);
        args.insert(args.end(), {"-i", work.path(), "-u", "http://127.0.0.1:9/cgi/u"});
        return usbbed::runProgram(args, bed.childEnvironment(), 90s);
    }

    std::string settingsPath() const { return work.path() + "/updater/" + kSerialText + "/.settings"; }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// A firmware image for the module: a loader block and size bytes of firmware at 0.
std::vector<std::uint8_t> firmware(std::size_t size) { return birdmake::RandomData(size, 7); }

std::string writeImage(const TempDir& dir, const std::vector<std::uint8_t>& data) {
    birdmake::Image image;
    image.blocks.push_back(birdmake::LoaderBlock(0x10000000, birdmake::RandomData(300, 11)));
    image.blocks.push_back(birdmake::FirmwareBlock(0, data));
    image.blocks.push_back(birdmake::InfoBlock("2001", "2.16.1", kSerialText, "TS-Hub4"));
    const std::string path = dir.file("update.bird");
    const std::vector<std::uint8_t> bytes = birdmake::MakeFile(image);
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
}

modsim::UpgradeStats loaderStats(modsim::ModuleSession& s) {
    return s.withModule([](modsim::VirtualModule& m) { return m.firmware().upgrade().stats(); });
}

TEST_F(UsbEndToEnd, ListsModulesInEnumerationOrderWithOneHeldElsewhere) {
    plug(session(0x0000A001, 4, "2.11.3", 1000, "bench hub"), "0000A001", 0x0004);
    plug(session(0x0000B002, 13, "2.10.3", 912, "ignored"), "0000B002", 0x000D);
    usbbed::UsbModule& held = plug(session(0x0000C003, 4, "2.12.0", 1017), "0000C003", 0x0004);
    held.setFaults(usbbed::faultsWith(&usbbed::Faults::busy, true));
    usbbed::UsbModule& foreign = plug(session(0x0000D004, 4, "2.12.0", 1), "0000D004", 0x0004, 0x1234);

    const RunResult r = updater({"-D", "-t", "USB"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::vector<std::string> out = lines(r.out);
    auto at = std::find(out.begin(), out.end(), "Discovered Devices: (USB)");
    ASSERT_NE(at, out.end()) << r.out;
    ASSERT_GE(out.end() - at, 5) << r.out;
    EXPECT_EQ(at[1], "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    // libusb lists the device it found last first.
    EXPECT_TRUE(startsWith(at[2], "    0000C003  [Error (")) << at[2];
    EXPECT_NE(at[2].find("): Is someone else connected to this device?]"), std::string::npos) << at[2];
    EXPECT_EQ(at[3], "    0000B002  02       02      TS-Meter1      2.10.3 (       912)         ");
    EXPECT_EQ(at[4], "    0000A001  02       02      TS-Hub4        2.11.3 (      1000)         bench hub");
    EXPECT_EQ(out.end() - at, 5) << r.out;
    EXPECT_EQ(foreign.counters().opens, 0u);
    EXPECT_GE(held.counters().busyClaims, 1u);
}

TEST_F(UsbEndToEnd, UpdatesInPacketFormAcrossReEnumeration) {
    modsim::ModuleSession& s = session(kSerial, 4, "2.11.3", 1000);
    usbbed::UsbModule& module = plug(s, kSerialText, kHub4);
    const std::vector<std::uint8_t> data = firmware(40000);
    const std::string image = writeImage(work, data);

    const RunResult r = updater({"-U", "-d", kSerialText, "-f", image, "-m", "0", "-X", "0x10401"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // The returning module was missed by the running context: found after the
    // context was dropped before the third try.
    EXPECT_NE(r.err.find("Failed enumeration after 3 tries, refreshing libusb context."), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
    EXPECT_EQ(s.flash().read(0, data.size()), data);
    const modsim::UpgradeStats stats = loaderStats(s);
    EXPECT_EQ(stats.loads, 1u);
    EXPECT_EQ(stats.reboots, 1u);
    EXPECT_EQ(stats.ueiSeries, 0u);
    // LOAD and REBOOT each made it leave and come back; it came back from
    // REBOOT under its own product ID.
    EXPECT_TRUE(usbbed::UsbBed::waitFor([&] { return module.restarts() == 2 && module.present(); }, 5s));
    EXPECT_EQ(module.product(), kHub4);
    EXPECT_NE(ReadFile(settingsPath()).find("LATEST_TRANSFER=" + image), std::string::npos);
}

TEST_F(UsbEndToEnd, UpdatesInUeiForm) {
    modsim::ModuleSession& s = session(kSerial, 4, "2.11.3", 1000);
    plug(s, kSerialText, kHub4);
    const std::vector<std::uint8_t> data = firmware(40000);
    const std::string image = writeImage(work, data);

    const RunResult r = updater({"-U", "-d", kSerialText, "-f", image, "-X", "0x10401"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(s.flash().read(0, data.size()), data);
    EXPECT_GT(loaderStats(s).ueiSeries, 0u);
}

TEST_F(UsbEndToEnd, UnpluggedMidTransferFailsAndKeepsTheSettings) {
    modsim::ModuleSession& s = session(kSerial, 4, "2.11.3", 1000);
    usbbed::UsbModule& module = plug(s, kSerialText, kHub4);
    modsim::UpdateFaults faults;
    faults.vanishAfterData = 600;  // well into the firmware
    s.setUpdateFaults(faults);
    const std::string image = writeImage(work, firmware(40000));
    const std::string settings = "LATEST_TRANSFER=1000.bird\nLAST_TRANSFER_DATE=Mon Dec  1 10:00:00 2025\n";
    ::mkdir((work.path() + "/updater").c_str(), 0755);
    ::mkdir((work.path() + "/updater/" + kSerialText).c_str(), 0755);
    WriteFile(settingsPath(), settings);

    const RunResult r = updater({"-U", "-d", kSerialText, "-f", image, "-m", "0", "-X", "0x10401"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Failed _transfer_firmware()"), std::string::npos) << r.err;
    EXPECT_FALSE(module.present());
    EXPECT_GT(s.flash().bytesWritten(), 0u);
    EXPECT_EQ(ReadFile(settingsPath()), settings);
}

// After an unanswered LOAD the module is looked for under the default serial
// number its loader may use. Here another module waits in its loader under
// that number and is found first: it reports another serial number, and the
// update stops there instead of sending it firmware.
TEST_F(UsbEndToEnd, LoaderFoundUnderTheDefaultSerialNumberMustBeTheModuleUpdated) {
    modsim::ModuleSession& other = session(0x0000B00B, 4, "2.16.1", 900);
    usbbed::UsbModule& stray = plug(other, "DEADDEAD", kLoaderProduct);
    modsim::ModuleSession& s = session(kSerial, 4, "2.11.3", 1000);
    modsim::UpdateFaults faults;
    faults.noLoadReply = modsim::FaultWindow{1, 1};
    s.setUpdateFaults(faults);
    usbbed::ModuleOptions o;
    o.identity.serial = kSerialText;
    o.identity.product = kHub4;
    o.identity.vendor = 0xF5A3;
    o.loaderProduct = kLoaderProduct;
    o.loaderSerial = "DEADDEAD";
    usbbed::UsbModule& updated = bed.add(s, o);
    const std::string image = writeImage(work, firmware(4000));
    // Once the module is back in its loader, the other one comes back too:
    // libusb lists the device it found last first.
    std::thread replug([&] {
        if (usbbed::UsbBed::waitFor([&] { return updated.restarts() == 1 && updated.present(); }, 20s)) {
            stray.unplug();
            stray.plug();
        }
    });

    const RunResult r = updater({"-U", "-d", kSerialText, "-f", image, "-m", "0"});
    replug.join();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("The module in its loader is not 40F5849A"), std::string::npos) << r.err;
    const modsim::UpgradeStats strayStats = loaderStats(other);
    EXPECT_EQ(strayStats.prepares, 0u) << "firmware went to the other module";
    EXPECT_EQ(strayStats.dataPackets, 0u);
    EXPECT_EQ(loaderStats(s).prepares, 1u) << "the loader block only";
}

}  // namespace
