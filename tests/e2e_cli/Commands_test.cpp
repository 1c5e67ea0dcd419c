// The built program run as a user runs it: what each stream shows and the
// exit code, with a home directory of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "NetNamespace.h"
#include "Process.h"

using testsupport::PathExists;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const std::string kVersion = "Updater (Version: 2.12.0 Dec  4 2025)\n";
const std::string kShortUsage =
    "\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Tessaluma Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n";

class Cli : public ::testing::Test {
protected:
    // Runs the program with args. Unless homeStore or args name their own
    // -i, the store goes into the test's directory through -i, so that no run
    // can reach a real home directory. The home directory comes from the
    // password database before HOME, so a homeStore run goes as a user the
    // database does not know, for whom HOME decides (HomeStoreRuns() says
    // whether that can be had here).
    ProcessResult Run(std::vector<std::string> args, bool homeStore = false)
    {
        args.insert(args.begin(), UPDATER_BINARY);
        if (!homeStore && args.size() > 1 && std::find(args.begin(), args.end(), "-i") == args.end()) {
            args.push_back("-i");
            args.push_back(home.path());
        }
        if (homeStore && HomeStoreRuns()) {
            uid_t stranger = 54321;
            while (getpwuid(stranger) != nullptr)
                ++stranger;
            chmod(home.path().c_str(), 0777);
            const std::string id = std::to_string(stranger);
            args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
        }
        testsupport::ProcessOptions options;
        options.env["HOME"] = home.path();
        options.workDir = home.path();
        return testsupport::RunProcess(args, options);
    }

    // As Run, but from a private network namespace of its own: the way to
    // run anything that may look for modules, so that no query leaves the test.
    // Empty when no namespace can be made here (isolation says why).
    std::optional<ProcessResult> RunIsolated(std::vector<std::string> args)
    {
        args.insert(args.begin(), UPDATER_BINARY);
        args.insert(args.end(), {"-i", home.path()});
        testsupport::ProcessOptions options;
        options.env["HOME"] = home.path();
        options.workDir = home.path();
        const testsupport::IsolatedRun run = testsupport::RunProcessInNetworkNamespace(args, options);
        isolation = run.ns.message;
        if (run.ns.outcome == testsupport::NsOutcome::Skipped)
            return std::nullopt;
        EXPECT_EQ(run.ns.outcome, testsupport::NsOutcome::Passed) << run.ns.message;
        return run.process;
    }

    bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
    static bool HomeStoreRuns() { return getuid() == 0 && PathExists("/usr/bin/setpriv"); }

    TempDir home;
    std::string isolation;
};

// A loopback port nobody listens on in a fresh namespace: server requests fail at once.
const std::string kDeadServer = "http://127.0.0.1:9/cgi/u";

}  // namespace

TEST_F(Cli, NoArgumentsShowsVersionAndShortUsage)
{
    auto r = Run({}, true);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, kShortUsage);
    EXPECT_FALSE(PathExists(home.file(".tarvelin")));
}

TEST_F(Cli, HelpShowsExtendedBlocksOnlyAfterALogMask)
{
    auto before = Run({"-h", "-X", "1"});
    EXPECT_EQ(before.exitCode, 0);
    EXPECT_EQ(before.out, kVersion);
    EXPECT_EQ(before.err.rfind(kShortUsage, 0), 0u);
    EXPECT_TRUE(Contains(before.err, "  Parameters to commands:\n"));
    EXPECT_TRUE(Contains(before.err, "  Commands:\n"));
    EXPECT_TRUE(Contains(before.err, " Sample usage:\n"));
    EXPECT_FALSE(Contains(before.err, "Extended"));

    auto after = Run({"-X", "1", "-h"});
    EXPECT_EQ(after.exitCode, 0);
    EXPECT_TRUE(Contains(after.err, "  Extended Parameters:\n"));
    EXPECT_TRUE(Contains(after.err, "  Extended Commands:\n"));
    EXPECT_TRUE(Contains(after.err, "DEBUG_iMXSerial     0x10000000\n"));
    EXPECT_EQ(Run({"--help"}).err, before.err);
}

TEST_F(Cli, BadValuesFailTheParse)
{
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const Case& c : {
             Case{{"-D", "-d", "0x0"}, "Invalid serial number obtained from argument [0]\n"},
             Case{{"-D", "-d", "xyz"}, "Invalid serial number obtained from argument [xyz]\n"},
             Case{{"-D", "-r", "0x"}, "Invalid router serial number obtained from argument []\n"},
             Case{{"-D", "-t", "tcpip"},
                  "Invalid transport type:[tcpip]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
             Case{{"-Y"}, "Unhandled command: [-Y]\n"},
         }) {
        auto r = Run(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.error;
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, c.error + kShortUsage);
    }
    EXPECT_FALSE(PathExists(home.file(".tarvelin")));
}

TEST_F(Cli, MissingRequiredValuesEndTheRun)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    for (const Case& c : {
             Case{{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
             Case{{"-B"}, "Error must supply a serial number for the List Builds command\n" + kShortUsage},
             Case{{"-L"}, "Error must supply a serial number for the List Local Builds command\n" + kShortUsage},
             Case{{"-J"}, "Error must supply a serial number for the Get JWT command\n" + kShortUsage},
             Case{{"-U"}, "Must specify the specific device to be updated\n"},
             Case{{"-N", "-D"}, "Must specify the serial port used for connecting\n"},
             Case{{"-G", "-D"}, "-G must specify a specific device via -d\n--help for usage information\n"},
         }) {
        auto r = Run(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.args[0];
        EXPECT_EQ(r.out, kVersion) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST_F(Cli, CommandsThatRunNothingExitCleanly)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"-C"}, {"-I", "-Z", "1"}, {"-C", "-d", "1"}}) {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Cli, StoreDirectoryIsMadeUnderHomeOrTheGivenParent)
{
    if (!HomeStoreRuns())
        GTEST_SKIP() << "needs root to run as a user without a password entry";
    EXPECT_EQ(Run({"-C"}, true).exitCode, 0);
    EXPECT_TRUE(PathExists(home.file(".tarvelin/updater")));

    TempDir parent;
    EXPECT_EQ(Run({"-C", "-i", parent.path()}).exitCode, 0);
    EXPECT_TRUE(PathExists(parent.file("updater")));
}

TEST_F(Cli, StoreThatIsARegularFileFails)
{
    TempDir parent;
    testsupport::WriteFile(parent.file("updater"), "not a directory");
    auto r = Run({"-C", "-i", parent.path()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, "Could not find updater directory at " + parent.file("updater") + "\n");

    if (!HomeStoreRuns())
        GTEST_SKIP() << "needs root to run as a user without a password entry";
    testsupport::WriteFile(home.file(".tarvelin"), "");
    auto underHome = Run({"-D"}, true);
    EXPECT_EQ(underHome.exitCode, 1);
    EXPECT_EQ(underHome.err, "Could not find updater directory at " + home.file(".tarvelin/updater") + "\n");
}

// Only discovery runs, and nothing is found: no USB bus here, and no module
// in the namespace.
TEST_F(Cli, OnlyTheFirstDispatchedCommandRuns)
{
    auto r = RunIsolated({"-D", "-U", "-d", "1234"});
    if (!r)
        GTEST_SKIP() << isolation;
    EXPECT_EQ(r->exitCode, 0);
    EXPECT_EQ(r->out, kVersion + "Searching for Tessaluma devices\nDiscovered Devices: (USB)\n    No devices found.\n");
    EXPECT_EQ(r->err, "");

    auto network = RunIsolated({"-D", "-r", "D272031D", "-t", "TCPIP"});
    ASSERT_TRUE(network);
    EXPECT_EQ(network->exitCode, 0);
    EXPECT_EQ(network->out, kVersion + "Searching for Tessaluma Network devices connected to D272031D\n"
                                       "Discovered Devices: (TCPIP)\n    No devices found.\n");
    EXPECT_EQ(network->err, "");
}

// An update with neither a build nor a file, for a device this store has
// never seen, fails before it looks for the module.
TEST_F(Cli, UpdateWithoutAnImageFailsTheRun)
{
    auto r = RunIsolated({"-U", "-d", "40F5849A", "-u", kDeadServer});
    if (!r)
        GTEST_SKIP() << isolation;
    EXPECT_EQ(r->exitCode, 1);
    EXPECT_EQ(r->out, kVersion);
    EXPECT_EQ(r->err, "Could not find valid build for this device.\n");

    // No boot ROM answers on /dev/null: no fingerprint, no recovery.
    auto recover = RunIsolated({"-U", "-t", "RECOVER", "-s", "/dev/null", "-u", kDeadServer});
    ASSERT_TRUE(recover);
    EXPECT_EQ(recover->exitCode, 1);
    EXPECT_EQ(recover->err, "Could not get Device Identifier\n");
}

// The failed download leaves the build to the update, which finds none.
TEST_F(Cli, DownloadMessagesThenUpdate)
{
    auto r = RunIsolated({"-G", "-U", "-d", "40F5849A", "-u", kDeadServer});
    if (!r)
        GTEST_SKIP() << isolation;
    EXPECT_EQ(r->exitCode, 1);
    EXPECT_EQ(r->out, kVersion +
                          "Retrieving firmware for device with serial number 40F5849A\n"
                          "No build specified\nUsing Latest build\n");
    EXPECT_EQ(r->err, "Server request failed for " + kDeadServer + "\n"
                      "Could not find valid build for this device.\n");

    auto named = Run({"-b", "abc", "-G", "-d", "1", "-u", kDeadServer});
    EXPECT_EQ(named.exitCode, 1);
    EXPECT_TRUE(Contains(named.out, "Retrieving firmware for device with serial number 00000001\n"
                                    "Retrieving firmware build 0\n"));
}

TEST_F(Cli, FailedFingerprintStillLetsDiscoveryDecide)
{
    auto r = RunIsolated({"-N", "-s", "/dev/ttyUSB0", "-D", "-u", kDeadServer});
    if (!r)
        GTEST_SKIP() << isolation;
    EXPECT_EQ(r->exitCode, 0);
    EXPECT_EQ(r->out, kVersion + "Searching for Tessaluma devices\nDiscovered Devices: (USB)\n    No devices found.\n");
    EXPECT_EQ(r->err, "Got no response from chip\n");

    auto alone = Run({"-N", "-s", "/dev/ttyUSB0", "-u", kDeadServer});
    EXPECT_EQ(alone.exitCode, 1);
}

TEST_F(Cli, AppPackageLogsTheParameters)
{
    auto r = Run({"-X", "0x10000", "-C"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, std::string("\nApplication parameters:[Updater]\n\t[") + UPDATER_BINARY +
                         "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[-i]\n\t[" + home.path() + "]\n");
}
