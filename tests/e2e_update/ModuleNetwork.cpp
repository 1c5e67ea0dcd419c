#include "ModuleNetwork.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "MiniReader.h"
#include "NetNamespace.h"
#include "birdmake.h"

using testsupport::BackgroundProcess;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::WriteFile;

namespace e2e {

namespace {

constexpr const char* kHostSide = "198.18.9.1";

struct Stage {
    bool skip = false;
    std::string why;  // "" when ready
};

// Entered once, from the first test, before this process starts any thread
// or program: everything the suite starts inherits the namespace.
const Stage& PrivateStage()
{
    static const Stage stage = [] {
        Stage s;
        if (!testsupport::EnterNetworkNamespace(&s.why))
            s.skip = true;
        else if (!testsupport::AddVethPair("e2e0", kHostSide, "e2e1", kModuleHost))
            s.why = "could not make the veth pair of the module host";
        return s;
    }();
    return stage;
}

void MakeDirectory(const std::string& path)
{
    RunProcess({"/bin/mkdir", "-p", path});
}

}  // namespace

SimulatedModule::SimulatedModule(const std::string& logPath, const std::vector<std::string>& args)
    : logPath_(logPath)
{
    std::vector<std::string> argv = {MODSIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--tcp", "0", "--bind", kModuleHost, "--udp-discovery", kModuleHost});
    process_ = std::make_unique<BackgroundProcess>(argv, logPath);
    // "tcp ADDRESS PORT", then "udp-discovery IFADDR" once it listens.
    const std::string tcp = process_->ReadLine();
    const std::string udp = process_->ReadLine();
    if (tcp.rfind("tcp ", 0) == 0 && udp.rfind("udp-discovery ", 0) == 0)
        port_ = std::uint16_t(std::atoi(tcp.c_str() + tcp.rfind(' ') + 1));
}

int SimulatedModule::Stop()
{
    return process_ ? process_->Stop() : -1;
}

std::string SimulatedModule::log() const
{
    return ReadFile(logPath_);
}

void ModuleNetwork::SetUp()
{
    const Stage& stage = PrivateStage();
    if (stage.skip)
        GTEST_SKIP() << stage.why;
    ASSERT_EQ(stage.why, "");
    MakeDirectory(work_.path() + "/home");
}

void ModuleNetwork::TearDown()
{
    for (auto& module : modules_) {
        module->Stop();
        if (HasFailure())
            std::fprintf(stderr, "--- module log:\n%s", module->log().c_str());
    }
    modules_.clear();
    if (server_) {
        const int status = server_->Stop();
        if (HasFailure())
            std::fprintf(stderr, "--- update server (status %d) log:\n%s", status, ReadFile(work_.file("server.log")).c_str());
    }
}

SimulatedModule& ModuleNetwork::StartModule(const std::vector<std::string>& args)
{
    const std::string log = work_.file("module" + std::to_string(modules_.size() + 1) + ".log");
    modules_.push_back(std::make_unique<SimulatedModule>(log, args));
    EXPECT_TRUE(modules_.back()->started()) << ReadFile(log);
    return *modules_.back();
}

void ModuleNetwork::Publish(const std::string& serial, std::uint32_t build, const std::string& version,
                            const std::vector<std::uint8_t>& file)
{
    const std::string device = work_.path() + "/catalogue/devices/" + serial;
    MakeDirectory(device + "/builds");
    WriteBird(device + "/builds/" + std::to_string(build) + ".bird", file);
    WriteFile(device + "/builds/" + std::to_string(build) + ".version", version + "\n");
    WriteFile(device + "/latest", std::to_string(build) + "\n");
    if (server_)
        return;
    server_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{UPDATE_SERVER_BIN, "--catalogue", work_.path() + "/catalogue", "--port", "0"},
        work_.file("server.log"));
    const int port = testsupport::PortFromLine(server_->ReadLine());
    ASSERT_GT(port, 0) << ReadFile(work_.file("server.log"));
    url_ = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

ProcessResult ModuleNetwork::Updater(std::vector<std::string> args)
{
    std::vector<std::string> argv = {UPDATER_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-u", url_, "-i", store()});
    ProcessOptions options;
    options.env["HOME"] = work_.path() + "/home";
    options.timeout = std::chrono::milliseconds(90000);
    ProcessResult r = RunProcess(argv, options);
    EXPECT_FALSE(r.timedOut) << "Updater did not end: " << r.out << r.err;
    return r;
}

std::string ModuleNetwork::Settings(const std::string& serial) const
{
    return ReadFile(deviceDir(serial) + "/.settings");
}

void ModuleNetwork::SeedSettings(const std::string& serial, const std::string& text)
{
    MakeDirectory(deviceDir(serial));
    WriteFile(deviceDir(serial) + "/.settings", text);
}

std::vector<std::uint8_t> MakeBird(const ImagePlan& plan)
{
    birdmake::Image image;
    if (plan.loader)
        image.blocks.push_back(birdmake::LoaderBlock(0x10000000, birdmake::RandomData(64, plan.seed + 100)));
    std::uint64_t seed = plan.seed;
    for (const ImagePlan::Block& b : plan.firmware)
        image.blocks.push_back(birdmake::FirmwareBlock(b.address, birdmake::RandomData(b.size, seed++)));
    image.blocks.push_back(birdmake::InfoBlock(std::to_string(plan.build), plan.version, plan.serial, plan.model));
    std::uint8_t major = 0, minor = 0, patch = 0;
    if (!birdmake::ParseVersion(plan.version, &major, &minor, &patch) ||
        (!plan.firmware.empty() && !birdmake::WriteIdentity(image, plan.build, major, minor, patch)))
        throw std::invalid_argument("image version " + plan.version);
    if (plan.generic) {
        image.blocks.push_back(birdmake::SerialOffsetsBlock(0x100, 0x120));
        if (!birdmake::WritePlaceholders(image, 0x100, 0x120))
            throw std::invalid_argument("generic image without a block at 0x100");
    }
    return birdmake::MakeFile(image);
}

void WriteBird(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string ExpectedFlash(const std::vector<std::uint8_t>& file, std::uint32_t insertSerial)
{
    const birdtest::Parsed parsed = birdtest::MustParse(file);
    std::string flash;
    std::uint32_t serialAt = 0, descriptorAt = 0;
    bool offsetsSeen = false;
    for (const birdtest::RawBlock& b : parsed.blocks) {
        const std::uint8_t type = b.typeFlags & 0x1F;
        if (type == 2 && b.payload.size() >= 8 && !offsetsSeen) {
            offsetsSeen = true;
            serialAt = birdtest::BE32(b.payload.data());
            descriptorAt = birdtest::BE32(b.payload.data() + 4);
        }
        if (type != 1 || b.payload.size() < 4)
            continue;
        const std::size_t at = birdtest::BE32(b.payload.data());
        const std::size_t end = at + b.payload.size() - 4;
        if (flash.size() < end)
            flash.resize(end, '\xFF');
        std::copy(b.payload.begin() + 4, b.payload.end(), flash.begin() + std::ptrdiff_t(at));
    }
    if (insertSerial != 0) {
        for (int i = 0; serialAt != 0 && i < 4; ++i)
            flash.at(serialAt + std::size_t(i)) = char(insertSerial >> (8 * i));
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08X", unsigned(insertSerial));
        for (std::size_t i = 0; descriptorAt != 0 && i < 8; ++i)
            flash.at(descriptorAt + 2 * i) = digits[i];
    }
    return flash;
}

const std::string kVersionLine = "Updater (Version: 2.12.0 Dec  4 2025)\n";
const std::string kTcpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name\n";

std::string TcpDeviceLine(std::uint32_t serial, unsigned module, unsigned router, const std::string& model,
                          unsigned major, unsigned minor, unsigned patch, std::uint32_t build, const std::string& name)
{
    const std::string address = std::string("[") + kModuleHost + "]";
    char line[256];
    std::snprintf(line, sizeof line, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s\n",
                  unsigned(serial), module, router, model.c_str(), int(major), int(minor), int(patch), unsigned(build),
                  address.c_str(), name.c_str());
    return line;
}

namespace {

// "    " then eight upper-case hexadecimal digits and two spaces.
bool IsDeviceLine(const std::string& line)
{
    if (line.size() < 14 || line.compare(0, 4, "    ") != 0 || line.compare(12, 2, "  ") != 0)
        return false;
    return std::all_of(line.begin() + 4, line.begin() + 12,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

}  // namespace

std::string SortDeviceLines(const std::string& listing)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < listing.size();) {
        const std::size_t end = std::min(listing.find('\n', at), listing.size() - 1) + 1;
        lines.push_back(listing.substr(at, end - at));
        at = end;
    }
    for (auto run = lines.begin(); run != lines.end();) {
        auto end = std::find_if_not(run, lines.end(), IsDeviceLine);
        std::sort(run, end);
        run = end == run ? end + 1 : end;
    }
    std::string sorted;
    for (const std::string& line : lines)
        sorted += line;
    return sorted;
}

std::string MaskUpdateTime(const std::string& out)
{
    static const std::string kLead = "Update time: ";
    std::string masked = out;
    for (std::size_t at = masked.find(kLead); at != std::string::npos; at = masked.find(kLead, at + 1)) {
        const std::size_t from = at + kLead.size();
        const std::size_t to = masked.find_first_not_of("0123456789.", from);
        if (to != from && to != std::string::npos && masked.compare(to, 4, " sec") == 0)
            masked.replace(from, to - from, "#");
    }
    return masked;
}

double UpdateSeconds(const std::string& out)
{
    const std::size_t at = out.rfind("Update time: ");
    return at == std::string::npos ? -1.0 : std::atof(out.c_str() + at + 13);
}

}  // namespace e2e
