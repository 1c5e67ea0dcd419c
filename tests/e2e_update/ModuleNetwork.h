// The stage of the update suites: this whole test process lives in a private
// network namespace with a veth pair whose far end holds the modules'
// address; simulated modules (the modsim program) serve TCP there and answer
// legacy discovery; the update server listens on the namespace's loopback;
// the Updater runs with its store in the test's own directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Background.h"
#include "Process.h"

namespace e2e {

constexpr const char* kModuleHost = "198.18.9.2";

// One modsim program on the module host. Its standard error goes to a log
// file, read back when the test fails.
class SimulatedModule {
public:
    SimulatedModule(const std::string& logPath, const std::vector<std::string>& args);
    bool started() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // SIGTERM; the exit status (3 after a vanish-exit fault).
    int Stop();
    std::string log() const;

private:
    std::unique_ptr<testsupport::BackgroundProcess> process_;
    std::string logPath_;
    std::uint16_t port_ = 0;
};

class ModuleNetwork : public ::testing::Test {
protected:
    // Skips the test when no namespace can be had here.
    void SetUp() override;
    void TearDown() override;

    // Starts a module with these modsim options (identity, behaviour, faults)
    // on the module host; fails the test when it does not come up.
    SimulatedModule& StartModule(const std::vector<std::string>& args);
    // Offers a build to serial through the update server (started on first use)
    // and makes it the latest.
    void Publish(const std::string& serial, std::uint32_t build, const std::string& version,
                 const std::vector<std::uint8_t>& file);
    // The Updater with args, the store in this test's directory and the
    // update server of this namespace (a dead loopback port when none runs).
    testsupport::ProcessResult Updater(std::vector<std::string> args);

    std::string store() const { return work_.path() + "/store"; }
    std::string deviceDir(const std::string& serial) const { return store() + "/updater/" + serial; }
    // The device's settings file as text, "" when there is none.
    std::string Settings(const std::string& serial) const;
    // Writes a settings file for serial as an earlier update would have left it.
    void SeedSettings(const std::string& serial, const std::string& text);
    std::string file(const std::string& name) const { return work_.file(name); }

    testsupport::TempDir work_;

private:
    std::vector<std::unique_ptr<SimulatedModule>> modules_;
    std::unique_ptr<testsupport::BackgroundProcess> server_;
    std::string url_ = "http://127.0.0.1:9/cgi/u";
};

// A BIRD image as the tests need them: a loader block, firmware blocks of
// pseudo-random bytes, an information block and the identity record the
// simulator adopts at reboot.
struct ImagePlan {
    std::string serial = "00000000";
    std::string model = "TS-Hub4";
    std::uint32_t build = 2001;
    std::string version = "2.16.1";
    struct Block {
        std::uint32_t address;
        std::size_t size;
    };
    std::vector<Block> firmware = {{0x0, 5000}, {0x8000, 300}};
    std::uint64_t seed = 7;
    bool generic = false;  // serial offsets and placeholders at 0x100 and 0x120
    bool loader = true;    // a loader block (a file without one updates nothing)
};
std::vector<std::uint8_t> MakeBird(const ImagePlan& plan);
void WriteBird(const std::string& path, const std::vector<std::uint8_t>& bytes);

// The flash of a module that wrote the file's firmware blocks, as the
// simulator dumps it: address 0 to the highest byte written, 0xFF where
// nothing was. With insertSerial, the serial number is where a generic image
// takes it: little-endian at the serial offset and as eight hexadecimal
// digits, one per UTF-16 code unit, at the descriptor offset.
std::string ExpectedFlash(const std::vector<std::uint8_t>& file, std::uint32_t insertSerial = 0);

// Listing lines as the command line prints them.
extern const std::string kVersionLine;
extern const std::string kTcpHeader;
std::string TcpDeviceLine(std::uint32_t serial, unsigned module, unsigned router, const std::string& model,
                          unsigned major, unsigned minor, unsigned patch, std::uint32_t build,
                          const std::string& name);
// Device lines come in the order modules answered; sorts each run of them.
std::string SortDeviceLines(const std::string& listing);
// "Update time: 1.2345 sec" with the figure replaced by "#".
std::string MaskUpdateTime(const std::string& out);
// The figure of "Update time: 1.2345 sec" in seconds; -1 when there is none.
double UpdateSeconds(const std::string& out);

}  // namespace e2e
