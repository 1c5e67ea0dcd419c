// Build lists, downloads and device tokens: the operations that talk to the
// update server and fill the local store.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ctime>
#include <future>
#include <thread>
#include <vector>

#include "BirdFile.h"
#include "BuildNumber.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "UpdaterStoreFactory.h"
#include "base64.h"

namespace {

constexpr const char* kSpinnerLabel = "Downloading";
constexpr auto kSpinnerSlice = std::chrono::milliseconds(100);

std::string _local_time_text()
{
    time_t now = time(nullptr);
    char buffer[32] = {0};
    if (ctime_r(&now, buffer) == nullptr)
        return {};
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// True when the file at path passes the quick check and loads as a BIRD image.
bool _loads_as_bird(const std::string& path)
{
    if (!BirdFile::VerifyFile(path.c_str()))
        return false;
    try {
        BirdFile bird(path);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

}  // namespace

// True when the server lists build for serial.
static bool _valid_build(uint32_t serial, uint32_t build, const char* serverUrl)
{
    BuildMap builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl))
        return false;
    for (const auto& entry : builds) {
        if (_build_number_or_zero(entry.first) == build)
            return true;
    }
    return false;
}

BuildMap Updater::Get_BuildList(uint32_t serial)
{
    BuildMap builds;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
}

BuildMap Updater::Get_BuildListLocal(uint32_t serial)
{
    BuildMap builds;
    auto store = _createUpdaterStore(display, storeDir, "Get_BuildListLocal");
    if (!store)
        return builds;

    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (auto& item : items) {
        const std::string& name = item.Name();
        std::string key = name.substr(0, name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            std::string path = item.BasePath() + "/" + name;
            if (BirdFile::VerifyFile(path.c_str())) {
                try {
                    BirdFile bird(path);
                    version = bird.GetVersion();
                    if (!version.empty())
                        Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
                } catch (const std::runtime_error&) {
                    Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& buildText, bool override, bool noCal)
{
    using Level = UpdaterDisplayInterface::Level;
    uint32_t build = 0;
    if (!buildText.empty() && !_parse_build_number(buildText, build)) {
        display.message(Level::LEVEL_ERROR, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(Level::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(Level::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return 0;
    }

    auto store = _createUpdaterStore(display, storeDir, "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem device;
    if (!store->FindDevice(serial, &device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serial);
        } catch (const std::runtime_error&) {
            display.message(Level::LEVEL_ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latestBuildText, versionText;
    if (!UpdateServerRequest::QueryBuild(serial, latestBuildText, versionText, serverUrl.c_str())) {
        display.message(Level::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (build == 0)
        build = _build_number_or_zero(latestBuildText);

    display.message(Level::LEVEL_INFO, "Retrieving build %u", build);
    if (override) {
        display.message(Level::LEVEL_INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(Level::LEVEL_INFO, "Validating build %u with server", build);
        if (!_valid_build(serial, build, serverUrl.c_str())) {
            display.message(Level::LEVEL_ERROR, "No valid build %u", build);
            return 0;
        }
        display.message(Level::LEVEL_INFO, "Build %u is valid", build);
    }

    // The request runs on a worker so that this thread can keep the spinner
    // turning; the worker touches nothing but its own copies and content.
    const std::string requestBuild = std::to_string(build);
    std::string content;
    std::promise<bool> finished;
    std::future<bool> result = finished.get_future();
    std::thread worker([&finished, &content, serial, versionText, requestBuild, url = serverUrl, noCal]() {
        finished.set_value(UpdateServerRequest::GetBuild(serial, versionText, requestBuild, content, url.c_str(), noCal));
    });
    display.update_spinner(true, kSpinnerLabel);
    while (result.wait_for(kSpinnerSlice) != std::future_status::ready)
        display.update_spinner(true, kSpinnerLabel);
    display.update_spinner(false, kSpinnerLabel);
    bool downloaded = result.get();
    worker.join();
    if (!downloaded)
        display.message(Level::LEVEL_ERROR, "Download failed");

    // Only an image that decodes and loads may reach the store, and only then
    // do the settings name it: a broken reply must not replace a good file.
    size_t imageLength = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> image(
        content.empty() ? nullptr : base64_decode(content.data(), content.size(), &imageLength), &std::free);
    std::string().swap(content);
    if (!image || imageLength == 0) {
        display.message(Level::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string fileName = requestBuild + ".bird";
    const std::string checkName = "." + fileName + ".part";
    const std::string directory = device.BasePath() + "/" + device.Name();
    aErr written = device.WriteFile(checkName, image.get(), imageLength);
    image.reset();
    if (written != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    const std::string checkPath = directory + "/" + checkName;
    const std::string finalPath = directory + "/" + fileName;
    if (!_loads_as_bird(checkPath)) {
        std::remove(checkPath.c_str());
        display.message(Level::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    if (std::rename(checkPath.c_str(), finalPath.c_str()) != 0) {
        std::remove(checkPath.c_str());
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(aErrWrite));
        return 0;
    }

    device.Settings().Add("LATEST_DOWNLOAD", fileName);
    device.Settings().Add("LAST_DOWNLOAD_DATE", _local_time_text());
    device.Settings().Save(nullptr);
    return build;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, const std::string& buildText, bool override)
{
    uint32_t build = _build_number_or_zero(buildText);
    uint32_t serial = 0;
    uint32_t latest = 0;
    const std::array<uint32_t, 4> words = {fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                                           fingerprint.words[3]};
    if (!UpdateServerRequest::GetRecoveryInfo(words, serial, latest, serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to retrieve recovery information from Tarvelin update server");
        return 0;
    }
    if (build == 0)
        build = latest;
    return Download_Firmware(serial, std::to_string(build), override, false);
}

std::string Updater::Get_JWT(uint32_t serial)
{
    std::string token;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, serverUrl.c_str()))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serial);
    return token;
}
