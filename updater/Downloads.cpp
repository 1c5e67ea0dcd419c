// Build lists, downloads and device tokens: the operations that talk to the
// update server and fill the local store.
#include <array>
#include <chrono>
#include <cstdio>
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
#include "aFile.h"

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

// True when the file at path passes the quick check and loads as a BIRD image;
// the file is read in pieces, never held whole. It runs as the acceptance
// check of a replacement file, which must not throw: memory running out on
// the way is a file that did not load.
bool _loads_as_bird(const char* path) noexcept
{
    try {
        const std::string file(path);
        return BirdFile::VerifyFile(file) && BirdFile::CheckFile(file);
    } catch (...) {
        return false;
    }
}

// The file a download writes the image into as it arrives: a temporary file
// of this download's own beside the image's name, flushed to disk, checked
// and renamed to that name only once the image is whole and loads, removed on
// every other way out.
struct _PartFile {
    aFile* file = nullptr;
    ~_PartFile()
    {
        if (file)
            aFile_AbandonReplacement(&file);
    }
};

// Runs the body of one operation so that nothing it throws reaches the
// command line: whatever escapes (memory running out, a thread that cannot
// be started) is reported once and the operation gives failed.
template <typename Result, typename Body>
Result _guarded(UpdaterDisplayInterface& display, const char* operation, Result failed, Body body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s failed: %s", operation, e.what());
    } catch (...) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s failed", operation);
    }
    return failed;
}

// Joins a worker on every way out of the frame that owns what it writes to.
struct _JoinOnExit {
    std::thread& worker;
    ~_JoinOnExit()
    {
        if (worker.joinable())
            worker.join();
    }
};

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

// Runs GetBuildImage on a worker while this thread keeps the spinner turning;
// the image goes into part as it arrives. The worker touches nothing but its
// own copies, part and the outputs, which are read only after it is joined.
// A request that failed, or a worker that could not be started, is reported
// here.
static UpdateServerRequest::ImageResult _fetch_image(UpdaterDisplayInterface& display, const std::string& serverUrl,
    uint32_t serial, const std::string& versionText, const std::string& requestBuild, bool noCal, aFile* part,
    uint64_t& imageBytes, aErr& writeError)
{
    using Level = UpdaterDisplayInterface::Level;
    using Result = UpdateServerRequest::ImageResult;
    std::promise<Result> finished;
    std::future<Result> result = finished.get_future();
    std::thread worker;
    _JoinOnExit joiner{worker};
    try {
        worker = std::thread([&finished, &imageBytes, &writeError, part, serial, versionText, requestBuild,
                                 url = serverUrl, noCal]() {
            Result fetched = Result::Failed;
            try {
                const UpdateServerRequest::ImageWriter write = [part, &writeError](const unsigned char* bytes,
                                                                   size_t length) {
                    writeError = aFile_Write(part, bytes, length, nullptr);
                    return writeError == aErrNone;
                };
                fetched = UpdateServerRequest::GetBuildImage(serial, versionText, requestBuild, write, imageBytes,
                    url.c_str(), noCal);
            } catch (...) {
                fetched = Result::Failed;
            }
            finished.set_value(fetched);
        });
    } catch (const std::exception& e) {
        display.message(Level::LEVEL_ERROR, "Download failed: %s", e.what());
        return Result::Failed;
    }
    display.update_spinner(true, kSpinnerLabel);
    while (result.wait_for(kSpinnerSlice) != std::future_status::ready)
        display.update_spinner(true, kSpinnerLabel);
    display.update_spinner(false, kSpinnerLabel);
    const Result fetched = result.get();
    worker.join();
    if (fetched == Result::Failed)
        display.message(Level::LEVEL_ERROR, "Download failed");
    return fetched;
}

// Download_Firmware for a known serial number; see Updater.h.
static uint32_t _download(UpdaterDisplayInterface& display, const std::string& serverUrl,
                          const std::string& storeDir, uint32_t serial, const std::string& buildText, bool override,
                          bool noCal)
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
    // Build 0 is no build: asking for it would store an image named 0.bird
    // (or fail without a word), and a build list key that is not a number
    // would even "validate" it.
    if (build == 0) {
        display.message(Level::LEVEL_ERROR, "No valid build number from the server for %08X ('%s')", serial,
                        latestBuildText.c_str());
        return 0;
    }

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

    // The image is decoded into this download's own file as it arrives, and
    // only an image that decodes whole and loads may reach the store under
    // its name; only then do the settings name it: a broken reply must not
    // replace a good file. The file checked is the file renamed: another
    // download of the same build meanwhile writes a file of its own.
    const std::string requestBuild = std::to_string(build);
    const std::string fileName = requestBuild + ".bird";
    const std::string directory = device.BasePath() + "/" + device.Name();
    const std::string finalPath = directory + "/" + fileName;
    _PartFile part{aFile_OpenReplacement(finalPath.c_str())};
    if (!part.file) {
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(aErrNotFound));
        return 0;
    }
    using Result = UpdateServerRequest::ImageResult;
    uint64_t imageBytes = 0;
    aErr writeError = aErrNone;
    const Result fetched = _fetch_image(display, serverUrl, serial, versionText, requestBuild, noCal, part.file,
        imageBytes, writeError);
    if (fetched == Result::NotWritten) {
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(writeError));
        return 0;
    }
    if (fetched != Result::Written || imageBytes == 0) {
        display.message(Level::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    const aErr written = aFile_CommitReplacementIf(
        &part.file, [](const char* path, void*) { return _loads_as_bird(path); }, nullptr);
    if (written == aErrCancel) {
        display.message(Level::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    if (written != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }

    device.Settings().Add("LATEST_DOWNLOAD", fileName);
    device.Settings().Add("LAST_DOWNLOAD_DATE", _local_time_text());
    device.Settings().Save(nullptr);
    // The image is in place, but a store whose settings do not name it has
    // not recorded the download: say so rather than report success.
    if (device.Settings().IsModified() || device.Settings().IsUnreadable()) {
        display.message(Level::LEVEL_ERROR, "Failed to record the download in %s", device.Settings().Path().c_str());
        return 0;
    }
    return build;
}

BuildMap Updater::Get_BuildList(uint32_t serial)
{
    return _guarded(display, "Get_BuildList", BuildMap(), [&] {
        BuildMap builds;
        if (!UpdateServerRequest::ping(serverUrl.c_str())) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s",
                            serverUrl.c_str());
            return builds;
        }
        if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()))
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serial);
        return builds;
    });
}

BuildMap Updater::Get_BuildListLocal(uint32_t serial)
{
    return _guarded(display, "Get_BuildListLocal", BuildMap(), [&] {
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
    });
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& buildText, bool override, bool noCal)
{
    return _guarded(display, "Download_Firmware", uint32_t(0), [&]() -> uint32_t {
        return _download(display, serverUrl, storeDir, serial, buildText, override, noCal);
    });
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, const std::string& buildText, bool override)
{
    return _guarded(display, "Download_Firmware", uint32_t(0), [&]() -> uint32_t {
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
        return _download(display, serverUrl, storeDir, serial, std::to_string(build), override, false);
    });
}

std::string Updater::Get_JWT(uint32_t serial)
{
    return _guarded(display, "Get_JWT", std::string(), [&] {
        std::string token;
        if (!UpdateServerRequest::ping(serverUrl.c_str())) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s",
                            serverUrl.c_str());
            return token;
        }
        if (!UpdateServerRequest::GetDeviceJWT(serial, token, serverUrl.c_str()))
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serial);
        return token;
    });
}
