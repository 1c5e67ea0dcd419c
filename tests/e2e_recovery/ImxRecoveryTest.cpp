// Fingerprint and recovery of an i.MX module through its boot ROM, with the
// real binary: the ROM on the emulated USB bus (a hidraw device with the
// chip's own identity) or on a UART, the live loader its jump brings onto the
// bus, and the local update server whose catalogue holds the live loader
// (device DEADDEAD), the module's firmware and the chip's fix entry.
#include "ImxChip.h"
#include "ModuleFirmware.h"
#include "Process.h"
#include "Spawn.h"
#include "UpgradeLoader.h"
#include "UsbBed.h"
#include "birdmake.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using usbbed::ImxOptions;
using usbbed::RunResult;

namespace {

constexpr const char* kModuleSerial = "5A5A00E1";
const std::array<std::uint32_t, 4> kUniqueId = {0x0C0FFEE0, 0x1CEB00DA, 0x2BADF00D, 0x3DEFACED};
// Two loader blocks a page apart in OCRAM, started at the second.
constexpr std::uint32_t kLoaderAddress = 0x20200000;
constexpr std::uint32_t kLoaderEntry = 0x20201000;
constexpr std::uint32_t kDefaultEntry = 0x20000400;
constexpr std::uint32_t kFirmwareAddress = 0x60000000;

void put(const std::string& path, const birdmake::Image& image) {
    const std::vector<std::uint8_t> bytes = birdmake::MakeFile(image);
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

// mkdir -p without a child process: nothing beside the bed is forked (Spawn.h).
void makeDirs(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
}

class ImxRecovery : public ::testing::Test {
protected:
    TempDir work;
    usbbed::UsbBed bed;
    const std::vector<std::uint8_t> loaderLow = birdmake::RandomData(2500, 3);
    const std::vector<std::uint8_t> loaderHigh = birdmake::RandomData(700, 4);
    const std::vector<std::uint8_t> firmware = birdmake::RandomData(30000, 5);
    std::string url;
    pid_t server = -1;

    void SetUp() override {
        const std::string catalogue = work.file("catalogue");
        const std::string loader = catalogue + "/devices/DEADDEAD";
        const std::string module = catalogue + "/devices/" + kModuleSerial;
        for (const std::string& dir : {loader + "/builds", module + "/builds", catalogue + "/fix"}) makeDirs(dir);
        WriteLiveLoaderImage(true);
        WriteFile(loader + "/builds/500.version", "1.0.0\n");
        WriteFile(loader + "/latest", "500\n");
        birdmake::Image image;
        image.blocks.push_back(birdmake::FirmwareBlock(
            kFirmwareAddress, std::vector<std::uint8_t>(firmware.begin(), firmware.begin() + 20000)));
        image.blocks.push_back(birdmake::FirmwareBlock(
            kFirmwareAddress + 20000, std::vector<std::uint8_t>(firmware.begin() + 20000, firmware.end())));
        image.blocks.push_back(birdmake::InfoBlock("3001", "2.13.0", kModuleSerial, "TS-Hub4"));
        put(module + "/builds/3001.bird", image);
        WriteFile(module + "/builds/3001.version", "2.13.0\n");
        WriteFile(module + "/latest", "3001\n");
        // The fingerprint lists option 39's sub-index 3 first.
        WriteFile(catalogue + "/fix/3DEFACED-2BADF00D-1CEB00DA-0C0FFEE0", std::string(kModuleSerial) + "\n");
        StartServer(catalogue);
    }

    void TearDown() override {
        if (server <= 0) return;
        ::kill(server, SIGTERM);
        int status = 0;
        for (int i = 0; i < 300 && ::waitpid(server, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
        if (::waitpid(server, &status, WNOHANG) == 0) {
            ::kill(server, SIGKILL);
            ::waitpid(server, &status, 0);
        }
    }

    // The live loader's image: its loader blocks and, unless left out, the
    // block naming its entry.
    void WriteLiveLoaderImage(bool withEntry) {
        birdmake::Image image;
        image.blocks.push_back(birdmake::LoaderBlock(kLoaderAddress, loaderLow));
        image.blocks.push_back(birdmake::LoaderBlock(kLoaderEntry, loaderHigh));
        image.blocks.push_back(birdmake::InfoBlock("500", "1.0.0", "DEADDEAD", "TS-Hub4"));
        if (withEntry) image.blocks.push_back(birdmake::StartAddressBlock(kLoaderEntry));
        put(work.file("catalogue/devices/DEADDEAD/builds/500.bird"), image);
    }

    // Started with posix_spawn, as everything beside the bed (Spawn.h).
    void StartServer(const std::string& catalogue) {
        const std::string portFile = work.file("server.port");
        const char* quiet = "exec \"$0\" \"$@\" >/dev/null 2>\"$SERVER_LOG\"";
        server = usbbed::spawnProgram(
            {"/bin/sh", "-c", quiet, UPDATE_SERVER_BIN, "--catalogue", catalogue, "--port-file", portFile},
            {{"SERVER_LOG", work.file("server.log")}});
        ASSERT_GT(server, 0);
        std::string port;
        usbbed::UsbBed::waitFor([&] { return (port = ReadFile(portFile)).find('\n') != std::string::npos; }, 10s);
        ASSERT_NE(port.find('\n'), std::string::npos) << ReadFile(work.file("server.log"));
        url = "http://127.0.0.1:" + port.substr(0, port.find('\n')) + "/cgi/u";
    }

    usbbed::ImxChip& Chip(ImxOptions::Port port, const sdpsim::RomConfig& rom = {}) {
        ImxOptions o;
        o.port = port;
        o.uniqueId = kUniqueId;
        o.rom = rom;
        o.loader.imageOut = flashDump();
        o.loader.flashBase = kFirmwareAddress;
        return bed.addImx(o);
    }

    RunResult Updater(std::vector<std::string> args) {
        args.insert(args.begin(), UPDATER_BIN);
        args.insert(args.end(), {"-u", url, "-i", work.file("store")});
        std::map<std::string, std::string> env = bed.childEnvironment();
        env["HOME"] = work.path();
        return usbbed::runProgram(args, env, 120s);
    }

    std::string flashDump() const { return work.file("flash.bin"); }

    // The fingerprint the chip should give: option 39 of the live loader,
    // sub-index 3 first, as the flow fills the words.
    static std::string Expected(usbbed::ImxChip& chip) {
        const modsim::ModuleConfig c = chip.liveLoader().liveConfig();
        char text[64];
        std::snprintf(text, sizeof text, "[ %08X %08X %08X %08X ]\n", c.uniqueId[3], c.uniqueId[2], c.uniqueId[1],
                      c.uniqueId[0]);
        return text;
    }

    // The loader went into RAM block by block and was started at entry. On a
    // UART the probe for an LPC chip on the same line (a few short lines, at
    // each rate an LPC chip may keep) leaves the ROM part-way into a command,
    // or one past it; the host brings the framing back in step with filler
    // bytes, which the ROM sees as one more command it does not know. Every
    // command after them is one the ROM knows.
    void ExpectLoaderStarted(usbbed::ImxChip& chip, std::uint32_t entry, ImxOptions::Port port) {
        const sdpsim::RomStats s = chip.romStats();
        const unsigned known = s.statusRequests + s.registerReads + s.writeFiles + (s.jumpedTo ? 1u : 0u);
        ASSERT_GE(s.commands, known);
        const unsigned unknown = s.commands - known;
        if (port == ImxOptions::Port::Uart)
            ASSERT_TRUE(unknown == 1u || unknown == 2u) << unknown << " commands the ROM did not know";
        else
            ASSERT_EQ(unknown, 0u) << "commands the ROM did not know: its command framing was out of step";
        EXPECT_EQ(s.writeFiles, 2u);
        EXPECT_EQ(chip.hidCounters().refusedReports, 0u);
        EXPECT_EQ(s.jumpedTo, std::optional<std::uint32_t>(entry));
        EXPECT_TRUE(chip.ram(kLoaderAddress, loaderLow.size()) == loaderLow);
        EXPECT_TRUE(chip.ram(kLoaderEntry, loaderHigh.size()) == loaderHigh);
    }

    void Fingerprint(ImxOptions::Port port) {
        usbbed::ImxChip& chip = Chip(port);
        const RunResult r = Updater({"-N", "-s", chip.port(), "-X", "0x10000001"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        ASSERT_NO_FATAL_FAILURE(ExpectLoaderStarted(chip, kLoaderEntry, port));
        const std::string expected = Expected(chip);
        EXPECT_EQ(expected, "[ 3DEFACED 2BADF00D 1CEB00DA 0C0FFEE0 ]\n");
        EXPECT_NE(r.out.find("\n" + expected), std::string::npos) << r.out;
        // The live loader answered what the ROM's fuses hold.
        for (std::uint32_t k = 0; k < 4; ++k) {
            const std::vector<std::uint8_t> fuse = chip.ram(0x401F4410 + 0x10 * k, 4);
            const std::uint32_t word = fuse[0] | fuse[1] << 8 | fuse[2] << 16 | std::uint32_t(fuse[3]) << 24;
            EXPECT_EQ(word, kUniqueId[k]) << "fuse word " << k;
        }
        ASSERT_NE(chip.liveLoaderDevice(), nullptr);
        EXPECT_EQ(chip.liveLoaderDevice()->serial(), "DEADDEAD");
    }

    // From a bricked module to its firmware: fingerprint, the server names
    // the module, its image is fetched and goes to the live loader with the
    // ordinary upgrade, which it writes into flash.
    void Recover(ImxOptions::Port port) {
        usbbed::ImxChip& chip = Chip(port);
        const RunResult r = Updater({"-U", "-t", "RECOVER", "-s", chip.port(), "-X", "0x10000001"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        ASSERT_NO_FATAL_FAILURE(ExpectLoaderStarted(chip, kLoaderEntry, port));
        EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
        EXPECT_TRUE(ReadFile(flashDump()) == bytes(firmware)) << "the flash holds the firmware blocks, byte for byte";
        // Found on USB as DEADDEAD by the fingerprint, then by the recovery.
        ASSERT_NE(chip.liveLoaderDevice(), nullptr);
        EXPECT_EQ(chip.liveLoaderDevice()->serial(), "DEADDEAD");
        EXPECT_GE(chip.liveLoaderDevice()->counters().opens, 2u);
        const modsim::UpgradeStats s = chip.liveLoader().withModule(
            [](modsim::VirtualModule& m) { return m.firmware().upgrade().stats(); });
        EXPECT_EQ(s.inits, 0u) << "no loader phase: the live loader is the loader";
        // Each 1024-byte piece is written once, unless the flow had to send a
        // block again and says so: the emulated loader drops a packet whose
        // two USB transfers reach it more than 100 ms apart, as they can on a
        // loaded machine under a sanitizer, and the image is whole all the same.
        if (r.out.find("\n  Retry ") == std::string::npos)
            EXPECT_EQ(s.writes, 20u + 10u) << "per block, pieces of the 1024-byte block size";
        else
            EXPECT_GT(s.writes, 20u + 10u);
        EXPECT_EQ(s.reboots, 1u);
        const std::string settings = ReadFile(work.file("store/updater/") + kModuleSerial + "/.settings");
        EXPECT_NE(settings.find("LATEST_DOWNLOAD=3001.bird"), std::string::npos) << settings;
    }
};

TEST_F(ImxRecovery, FingerprintOverHid) {
    Fingerprint(ImxOptions::Port::Hid);
}

TEST_F(ImxRecovery, FingerprintOverUart) {
    Fingerprint(ImxOptions::Port::Uart);
}

TEST_F(ImxRecovery, RecoverOverHid) {
    Recover(ImxOptions::Port::Hid);
}

TEST_F(ImxRecovery, RecoverOverUart) {
    Recover(ImxOptions::Port::Uart);
}

TEST_F(ImxRecovery, ImageWithoutEntryStartsTheLoaderAtTheDefault) {
    WriteLiveLoaderImage(false);
    usbbed::ImxChip& chip = Chip(ImxOptions::Port::Hid);
    const RunResult r = Updater({"-N", "-s", chip.port()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ExpectLoaderStarted(chip, kDefaultEntry, ImxOptions::Port::Hid);
}

// A ROM that answers nothing: five status requests, then the failure on the
// console and exit 1, within seconds; no live loader comes.
TEST_F(ImxRecovery, NoChipAnswering) {
    sdpsim::RomConfig silent;
    silent.silent = true;
    usbbed::ImxChip& chip = Chip(ImxOptions::Port::Hid, silent);
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = Updater({"-N", "-s", chip.port(), "-X", "0x10000001"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_NE(r.err.find("Error: No ack from iMX device\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error loading liveloader.\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Got no response from chip\n"), std::string::npos) << r.err;
    EXPECT_EQ(chip.romStats().statusRequests, 5u);
    EXPECT_EQ(chip.romStats().writeFiles, 0u);
    EXPECT_EQ(chip.liveLoaderDevice(), nullptr);
}

}  // namespace

namespace {

// A live-loader image without a loader block is refused before anything
// reaches the chip. A closed (secured) part takes the loader but will not
// start it, and says so in its reply: the error tells the user at once,
// rather than after a wait for a live loader that never comes.
TEST_F(ImxRecovery, RefusedBeforeAnythingRunsOrByAClosedPart) {
    sdpsim::RomConfig closed;
    closed.hab = sdpsim::kHabClosed;
    usbbed::ImxChip& chip = Chip(ImxOptions::Port::Hid, closed);
    birdmake::Image noLoader;
    noLoader.blocks.push_back(birdmake::InfoBlock("500", "1.0.0", "DEADDEAD", "TS-Hub4"));
    noLoader.blocks.push_back(birdmake::StartAddressBlock(kLoaderEntry));
    put(work.file("no-loader.bird"), noLoader);
    RunResult r = Updater({"-U", "-t", "RECOVER", "-s", chip.port(), "-d", kModuleSerial, "-f",
                           work.file("no-loader.bird")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("holds no loader for the chip"), std::string::npos) << r.err;
    EXPECT_EQ(chip.romStats().commands, 0u) << "nothing reached the chip";

    const auto start = std::chrono::steady_clock::now();
    r = Updater({"-N", "-s", chip.port()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(r.err.find("The chip is closed (secured) and refused to start the recovery loader"), std::string::npos)
        << r.err;
    const sdpsim::RomStats s = chip.romStats();
    EXPECT_EQ(s.writeFiles, 2u);
    EXPECT_EQ(s.refusedJumps, 1u);
    EXPECT_FALSE(s.jumpedTo.has_value());
    EXPECT_EQ(chip.liveLoaderDevice(), nullptr);
}

}  // namespace
