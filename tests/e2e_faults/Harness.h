// What the fault campaigns share: a catalogue of real images served by the
// local update server, the built program run against it with its store in a
// temporary directory, and the check that a store is sound (no truncated image
// or settings file, and the settings naming an image that is there whole).
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Background.h"
#include "Process.h"
#include "birdmake.h"

namespace faults {

using testsupport::BackgroundProcess;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr const char* kSerial = "40F5849A";

inline std::string Image(const std::string& build, const std::string& version, uint64_t seed, size_t size)
{
    birdmake::Image image;
    image.blocks.push_back(birdmake::LoaderBlock(0x10000000, birdmake::RandomData(256, seed + 100)));
    image.blocks.push_back(birdmake::FirmwareBlock(0, birdmake::RandomData(size, seed)));
    image.blocks.push_back(birdmake::InfoBlock(build, version, kSerial, "TS-Hub4"));
    const auto bytes = birdmake::MakeFile(image);
    return std::string(bytes.begin(), bytes.end());
}

// key=value lines of a settings file as the tool writes them.
inline std::map<std::string, std::string> SettingsOf(const std::string& text)
{
    std::map<std::string, std::string> entries;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            entries[line.substr(0, equals)] = line.substr(equals + 1);
        at = end + 1;
    }
    return entries;
}

inline std::vector<std::string> Names(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

// Everything below root: relative path to bytes.
inline std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& prefix = "")
{
    std::map<std::string, std::string> files;
    for (const auto& name : Names(root + prefix)) {
        const std::string relative = prefix + "/" + name;
        if (testsupport::PathExists(root + relative + "/.")) {
            auto inner = Snapshot(root, relative);
            files.insert(inner.begin(), inner.end());
        } else {
            files[relative] = ReadFile(root + relative);
        }
    }
    return files;
}

// A catalogue with two builds of one device (1000 small, 1017 large by
// default, so that a download takes long enough to be interrupted), served
// by the local update server; Updater runs against it.
class Campaign : public ::testing::Test {
protected:
    void SetUp() override
    {
        device_ = work_.path() + "/catalogue/devices/" + kSerial;
        RunProcess({"/bin/mkdir", "-p", device_ + "/builds", store_}, {});
        AddBuild("1000", "2.11.3", 1, 4096);
        AddBuild("1017", "2.12.0", 2, LargeImageBytes());
        WriteFile(device_ + "/latest", "1017\n");
    }

    virtual size_t LargeImageBytes() const { return 4096; }

    void AddBuild(const std::string& build, const std::string& version, uint64_t seed, size_t size)
    {
        images_[build + ".bird"] = Image(build, version, seed, size);
        WriteFile(device_ + "/builds/" + build + ".bird", images_[build + ".bird"]);
        WriteFile(device_ + "/builds/" + build + ".version", version + "\n");
    }

    void StartServer(const std::vector<std::string>& faults = {})
    {
        std::vector<std::string> argv = {UPDATE_SERVER_BIN, "--catalogue", work_.path() + "/catalogue", "--port", "0"};
        for (const auto& fault : faults)
            argv.insert(argv.end(), {"--fault", fault});
        server_ = std::make_unique<BackgroundProcess>(argv, work_.path() + "/server.log");
        const int port = testsupport::PortFromLine(server_->ReadLine());
        ASSERT_GT(port, 0) << ReadFile(work_.path() + "/server.log");
        url_ = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    }

    // Updater with args, then the server and the store; stalls give up
    // after two seconds.
    std::vector<std::string> Command(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {UPDATER_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-u", url_, "-i", store_});
        return argv;
    }
    ProcessOptions Options() const
    {
        ProcessOptions options;
        options.env["UPDATER_HTTP_STALL_SECONDS"] = "2";
        options.timeout = std::chrono::milliseconds(60000);
        return options;
    }
    ProcessResult Run(const std::vector<std::string>& args) const { return RunProcess(Command(args), Options()); }

    std::string deviceStore() const { return store_ + "/updater/" + kSerial; }

    // The store holds no truncated image or settings file: every image is
    // byte for byte one the server has, the settings hold their creation
    // time, and the image they name is there whole. Temporary files of an
    // interrupted save are hidden (never taken for builds) and allowed.
    void ExpectSoundStore(const std::string& context) const
    {
        for (const auto& name : Names(deviceStore())) {
            if (name[0] == '.')
                continue;
            auto image = images_.find(name);
            ASSERT_NE(image, images_.end()) << context << ": unexpected " << name;
            EXPECT_EQ(ReadFile(deviceStore() + "/" + name), image->second) << context << ": " << name << " damaged";
        }
        const auto settings = SettingsOf(ReadFile(deviceStore() + "/.settings"));
        EXPECT_EQ(settings.count("CREATED_TIME"), 1u) << context << ": settings truncated";
        auto latest = settings.find("LATEST_DOWNLOAD");
        ASSERT_NE(latest, settings.end()) << context << ": LATEST_DOWNLOAD lost";
        auto named = images_.find(latest->second);
        ASSERT_NE(named, images_.end()) << context << ": LATEST_DOWNLOAD=" << latest->second;
        EXPECT_EQ(ReadFile(deviceStore() + "/" + latest->second), named->second) << context;
    }

    TempDir work_;
    std::string store_ = work_.path() + "/store";
    std::string device_;
    std::string url_;
    std::map<std::string, std::string> images_;
    std::unique_ptr<BackgroundProcess> server_;
};

}  // namespace faults
