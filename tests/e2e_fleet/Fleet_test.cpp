// Several modules in one command, through the real program against simulated
// modules: every image byte-exact, the failures named and their store
// records untouched, the modules of one router one after another, Ctrl+C
// honoured, and what --json prints read back with a JSON parser.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>

#include "Background.h"
#include "ModuleNetwork.h"

using namespace e2e;
using nlohmann::json;
using testsupport::BackgroundProcess;
using testsupport::ProcessResult;
using testsupport::ReadFile;

namespace {

constexpr const char* kEarlier = "LATEST_TRANSFER=1000.bird\nLAST_TRANSFER_DATE=Mon Dec  1 10:00:00 2025\n";

std::string Serial(int i)
{
    char text[9];
    std::snprintf(text, sizeof text, "5EED%04X", unsigned(i));
    return text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The document on standard output; a test failure when it is not exactly one.
json Document(const ProcessResult& r)
{
    try {
        return json::parse(r.out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "standard output is not one JSON document (" << e.what() << "):\n" << r.out;
        return json();
    }
}

// The summary line of serial, "" when there is none.
std::string SummaryLine(const std::string& out, const std::string& serial)
{
    for (const std::string& line : Lines(out))
        if (line.rfind("    " + serial + "  ", 0) == 0)
            return line;
    return "";
}

class Fleet : public ModuleNetwork {
protected:
    // A module 5EEDxxxx at bus/link address 2 running 2.11.3 (1000), its flash dumped.
    SimulatedModule& StartNumbered(int i, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"--serial",     Serial(i), "--model",   "4",        "--address",
                                         "2",            "--version", "2.11.3",  "--build",  "1000",
                                         "--block-size", "512",     "--name",    "rack " + std::to_string(i),
                                         "--image-out",  flash(i)};
        args.insert(args.end(), extra.begin(), extra.end());
        return StartModule(args);
    }
    std::string flash(int i) const { return file(Serial(i) + ".bin"); }

    // A generic image, for modules that each get their own serial number written in.
    std::vector<std::uint8_t> Generic()
    {
        ImagePlan plan;
        plan.generic = true;
        std::vector<std::uint8_t> bird = MakeBird(plan);
        WriteBird(file("generic.bird"), bird);
        return bird;
    }
};

}  // namespace

// -G -U of two modules named in a list, with --json: the builds come from the
// server, both modules run them byte for byte, both records are written, the
// messages go to standard error each after its module's serial number, and
// standard output holds the one document. Then every listing as a document.
TEST_F(Fleet, TwoModulesAndEveryListingAsJson)
{
    std::map<std::string, std::vector<std::uint8_t>> birds;
    for (int i = 1; i <= 2; ++i) {
        ImagePlan plan;
        plan.serial = Serial(i);
        plan.seed = std::uint64_t(10 + i);
        birds[Serial(i)] = MakeBird(plan);
        Publish(Serial(i), 2001, "2.16.1", birds[Serial(i)]);
        StartNumbered(i);
    }
    testsupport::WriteFile(work_.path() + "/catalogue/devices/" + Serial(1) + "/token", "eyJhbGciOiJub25lIn0.eyJzbiI6IjVFRUQwMDAxIn0.c2ln\n");

    ProcessResult r = Updater({"-G", "-U", "-d", Serial(1) + "," + Serial(2), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const json results = Document(r);
    ASSERT_TRUE(results.is_array() && results.size() == 2) << r.out;
    for (int i = 1; i <= 2; ++i) {
        const json& m = results[i - 1];
        EXPECT_EQ(m, json::parse(R"({"serial": ")" + Serial(i) +
                                 R"(", "model": "TS-Hub4", "ok": true, "build": 2001, "build_before": 1000,
                                    "version_before": "2.11.3", "version_after": "2.16.1",
                                    "seconds": )" + m["seconds"].dump() + R"(, "error": null})"));
        EXPECT_GT(m["seconds"].get<double>(), 0.0);
        EXPECT_TRUE(ReadFile(flash(i)) == ExpectedFlash(birds[Serial(i)])) << Serial(i) << " flash differs";
        EXPECT_NE(Settings(Serial(i)).find("LATEST_TRANSFER=2001.bird\n"), std::string::npos);
        EXPECT_NE(r.err.find(Serial(i) + ": Transferring firmware block 2 of 2, 304 bytes\n"), std::string::npos);
    }
    EXPECT_EQ(r.err.find("\nTransferring"), std::string::npos) << "a message line without its serial number";
    EXPECT_NE(r.err.find("2 of 2 modules updated\n"), std::string::npos) << r.err;

    r = Updater({"-D", "-t", "TCPIP", "--json"});
    EXPECT_EQ(r.exitCode, 0);
    json devices = Document(r);
    ASSERT_TRUE(devices.is_array() && devices.size() == 2) << r.out;
    std::sort(devices.begin(), devices.end(),
              [](const json& a, const json& b) { return a["serial"] < b["serial"]; });
    EXPECT_EQ(devices[0], json::parse(R"({"serial": "5EED0001", "module": 2, "router": 2, "model": "TS-Hub4",
                                          "version": "2.16.1", "build": 2001, "address": "198.18.9.2",
                                          "name": "rack 1", "link": "TCPIP", "error": null})"));
    EXPECT_EQ(r.err, kVersionLine + "Searching for Tessaluma devices\n");

    r = Updater({"-B", "-d", Serial(1), "--json"});
    EXPECT_EQ(Document(r), json::parse(R"([{"build": 2001, "version": "2.16.1"}])"));
    r = Updater({"-L", "-d", Serial(1), "--json"});
    EXPECT_EQ(Document(r), json::parse(R"([{"build": 2001, "version": "2.16.1", "path": ")" +
                                       deviceDir(Serial(1)) + R"(/2001.bird"}])"));
    r = Updater({"-J", "-d", Serial(1), "--json"});
    EXPECT_EQ(Document(r), json::parse(R"({"serial": "5EED0001", "token": "eyJhbGciOiJub25lIn0.eyJzbiI6IjVFRUQwMDAxIn0.c2ln"})")) << r.err;

    // Two documents cannot be one: refused before anything runs.
    r = Updater({"-G", "-D", "-d", Serial(1), "--json"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--json writes one document"), std::string::npos) << r.err;
}

// -U -d ALL of eight modules with one generic image, one module refusing its
// update: the other seven run the image with their own serial numbers in it,
// the exit code is 1, the summary names the failure, and the failed module's
// record of its last good transfer is left as it was. A list with an image
// made for one device is refused before any module is touched.
TEST_F(Fleet, EightModulesOneFailing)
{
    const std::vector<std::uint8_t> bird = Generic();
    ImagePlan own;
    own.serial = Serial(1);
    WriteBird(file("own.bird"), MakeBird(own));
    for (int i = 1; i <= 8; ++i)
        StartNumbered(i, i == 5 ? std::vector<std::string>{"--fault", "prepare-fail=99"} : std::vector<std::string>{});
    SeedSettings(Serial(5), kEarlier);

    ProcessResult r = Updater({"-U", "-d", Serial(1) + "," + Serial(2), "-f", file("own.bird")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("-f with several devices takes a generic image"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(flash(1)), "");

    r = Updater({"-U", "-d", "ALL", "-t", "TCPIP", "-f", file("generic.bird")});
    EXPECT_EQ(r.exitCode, 1);
    for (int i = 1; i <= 8; ++i) {
        const std::string line = SummaryLine(r.out, Serial(i));
        if (i == 5) {
            EXPECT_NE(line.find("TS-Hub4      2.11.3 (1000)       -"), std::string::npos) << line;
            EXPECT_NE(line.find("failed: "), std::string::npos) << line;
            EXPECT_EQ(Settings(Serial(5)), kEarlier);
            continue;
        }
        EXPECT_NE(line.find("TS-Hub4      2.11.3 (1000)       2.16.1 (2001)"), std::string::npos) << r.out;
        EXPECT_NE(line.find("  updated"), std::string::npos) << line;
        EXPECT_TRUE(ReadFile(flash(i)) == ExpectedFlash(bird, 0x5EED0000u + unsigned(i)))
            << Serial(i) << " flash differs";
        EXPECT_NE(Settings(Serial(i)).find("LATEST_TRANSFER=" + file("generic.bird") + "\n"), std::string::npos);
    }
    EXPECT_NE(r.out.find("\n7 of 8 modules updated\n"), std::string::npos) << r.out;
    // Off a terminal every message line carries its module's serial number.
    for (const std::string& line : Lines(r.out + r.err)) {
        if (line.rfind("Transferr", 0) == 0 || line.rfind("Updating", 0) == 0 || line.rfind("Update time", 0) == 0 ||
            line.rfind("Failed", 0) == 0)
            ADD_FAILURE() << "line without a serial number: " << line;
    }
}

// Behind one router the modules share its bus: they are taken one after
// another (each module's lines end before the next one's begin), every one
// gets its image, and the router keeps its own firmware.
TEST_F(Fleet, ModulesBehindOneRouterInTurn)
{
    const std::vector<std::uint8_t> bird = Generic();
    StartModule({"--serial", "0000C0DE", "--model", "14", "--address", "6", "--version", "2.16.1", "--build", "10",
                 "--image-out", file("router.bin"), "--behind", "0000B001,4,4,2.11.3,900", "--behind",
                 "0000B002,8,4,2.11.3,900", "--behind", "0000B003,10,4,2.11.3,900", "--behind-image-out",
                 "0000B001," + file("b1.bin"), "--behind-image-out", "0000B002," + file("b2.bin"),
                 "--behind-image-out", "0000B003," + file("b3.bin")});

    ProcessResult r = Updater({"-U", "-d", "ALL", "-r", "0000C0DE", "-f", file("generic.bird"), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const json results = Document(r);
    ASSERT_EQ(results.size(), 3u) << r.out;
    std::vector<std::string> order;
    for (const std::string& line : Lines(r.err)) {
        const std::string serial = line.substr(0, 8);
        if (line.size() > 10 && line.compare(8, 2, ": ") == 0 && (order.empty() || order.back() != serial))
            order.push_back(serial);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"0000B001", "0000B002", "0000B003"})) << r.err;
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(results[i - 1]["ok"], true);
        EXPECT_EQ(results[i - 1]["version_after"], "2.16.1");
        EXPECT_TRUE(ReadFile(file("b" + std::to_string(i) + ".bin")) == ExpectedFlash(bird, 0x0000B000u + unsigned(i)))
            << "module " << i << " flash differs";
    }
    EXPECT_EQ(ReadFile(file("router.bin")), "");
}

// Ctrl+C while the first of three modules is in transfer, one at a time: that
// module finishes and is reported updated; the others are not started, are
// reported so, and keep their records; the exit code is 1.
TEST_F(Fleet, InterruptFinishesTheModuleInTransferAndStartsNoOther)
{
    const std::vector<std::uint8_t> bird = Generic();
    StartNumbered(1, {"--fault", "delay=25"});  // slow answers keep it in transfer for a while
    StartNumbered(2);
    StartNumbered(3);
    for (int i = 2; i <= 3; ++i)
        SeedSettings(Serial(i), kEarlier);

    BackgroundProcess updater({UPDATER_BIN, "-U", "-d", Serial(1) + "," + Serial(2) + "," + Serial(3), "--jobs", "1",
                               "-f", file("generic.bird"), "-i", store(), "-u", "http://127.0.0.1:9/cgi/u"},
                              file("updater.err"));
    std::string out;
    for (std::string line; !(line = updater.ReadLine(std::chrono::milliseconds(20000))).empty();) {
        out += line + "\n";
        if (line.rfind(Serial(1) + ": Transferring firmware block 1", 0) == 0)
            kill(updater.pid(), SIGINT);
    }
    EXPECT_EQ(updater.Stop(), 1) << out << ReadFile(file("updater.err"));
    EXPECT_NE(SummaryLine(out, Serial(1)).find("  updated"), std::string::npos) << out;
    EXPECT_TRUE(ReadFile(flash(1)) == ExpectedFlash(bird, 0x5EED0001u)) << "the module in transfer did not finish";
    for (int i = 2; i <= 3; ++i) {
        EXPECT_NE(SummaryLine(out, Serial(i)).find("not started: the run was interrupted"), std::string::npos) << out;
        EXPECT_EQ(ReadFile(flash(i)), "");
        EXPECT_EQ(Settings(Serial(i)), kEarlier);
    }
    EXPECT_NE(out.find("\n1 of 3 modules updated\n"), std::string::npos) << out;
    EXPECT_NE(ReadFile(file("updater.err")).find("Interrupted: no further module is started"), std::string::npos);
}

// On a terminal: one status line per module redrawn in place (the block is
// drawn again after moving back over it), no message lines, and the summary
// below the last drawing.
TEST_F(Fleet, StatusLinesOnATerminal)
{
    Generic();
    StartNumbered(1);
    StartNumbered(2);
    testsupport::ProcessOptions options;
    options.stdoutOnTerminal = true;
    options.timeout = std::chrono::milliseconds(60000);
    ProcessResult r = testsupport::RunProcess({UPDATER_BIN, "-U", "-d", Serial(1) + "," + Serial(2), "-f",
                                               file("generic.bird"), "-i", store(), "-u", "http://127.0.0.1:9/cgi/u"},
                                              options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\033[2A\r\033[J"), std::string::npos) << "the block is never redrawn";
    EXPECT_EQ(r.out.find(Serial(1) + ": "), std::string::npos) << "message lines on a terminal";
    const std::size_t summary = r.out.find("Summary:");
    ASSERT_NE(summary, std::string::npos) << r.out;
    std::string last = r.out.substr(r.out.rfind("\033[J", summary) + 3, std::string::npos);
    last.erase(std::remove(last.begin(), last.end(), '\r'), last.end());  // the terminal's own line ends
    EXPECT_EQ(last.substr(0, last.find("Summary:")),
              "    5EED0001  TS-Hub4      updated      100%\n    5EED0002  TS-Hub4      updated      100%\n");
}
