// Several modules in one run: each module's download and update run as the
// single-module operations do, on worker threads, at most a given number at
// a time. Modules behind one router share its bus and go one after another;
// modules on different routers, on USB and on TCP/IP go side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// One module of a run and what is known of it beforehand.
struct FleetModule {
    uint32_t serial = 0;
    uint32_t routerSerial = 0;  // 0: reached directly
    uint8_t moduleAddress = 0;  // its bus address behind the router; 0: the update finds it
    bool described = false;     // before holds what the module said of itself
    DeviceInfo before;          // else at most its link and model, from discovery
};

// What the run does to every module.
struct FleetPlan {
    bool download = false;  // fetch the module's build into the store first
    bool update = false;    // write it into the module
    std::string buildText;  // the build to fetch or write; empty: the latest
    std::string birdFile;   // the image to write instead of a stored build
    bool override = false;
    bool useUeiBytes = true;
    unsigned jobs = 8;      // modules worked on at once
};

enum class FleetPhase { Waiting, Asking, Downloading, Updating, Done, Failed, NotStarted };

// How one module's part of the run ended.
struct FleetResult {
    uint32_t serial = 0;
    std::string model;          // empty when unknown
    bool ok = false;            // everything asked of this module was done
    bool started = false;       // false: the run stopped before this module's turn
    bool interrupted = false;   // the run stopped before this module's update began
    uint32_t build = 0;         // the build fetched or written, 0 when unknown
    bool beforeKnown = false;
    std::string versionBefore;  // "2.11.3"
    uint32_t buildBefore = 0;
    bool afterKnown = false;    // after an update, the image written; else as before
    std::string versionAfter;
    uint32_t buildAfter = 0;
    double seconds = 0;
    std::string error;          // the first error reported for the module, empty when ok
};

// Where a run reports. display and phase are called on the module's worker
// thread, idle on the thread that started the run, about ten times a second
// while modules are being worked on: all of them must be safe to call at once.
class FleetObserver {
public:
    virtual ~FleetObserver() = default;
    // The sink of module index's messages and progress.
    virtual UpdaterDisplayInterface& display(size_t index) = 0;
    virtual void phase(size_t index, FleetPhase phase) = 0;
    // What a module said of itself when its worker asked it.
    virtual void described(size_t index, const DeviceInfo& info) = 0;
    virtual void idle() = 0;
};

// Works through every module and returns one result per module, in the
// order given. Once stop is set no module is started any more, and a module
// whose download is done does not go on to its update; a module in transfer
// finishes or fails on its own. Worker threads block the asynchronous
// signals, so SIGINT reaches the calling thread only.
std::vector<FleetResult> RunFleet(const std::string& serverUrl, const std::string& storeDir,
                                  const std::vector<FleetModule>& modules, const FleetPlan& plan,
                                  FleetObserver& observer, const std::atomic<bool>& stop);

// The modules that -d ALL stands for: every one that discovery finds over
// type (0: USB, then TCP/IP), or those behind routerSerial when non-zero,
// narrowed to the model named model (its display name) when not empty.
std::vector<FleetModule> FleetModulesFound(Updater& updater, linkType type, uint32_t routerSerial,
                                           const std::string& model);
// The modules a list names. Behind a router the bus is scanned once for
// their addresses and what they say of themselves; a direct module is asked
// by its own worker.
std::vector<FleetModule> FleetModulesListed(Updater& updater, const std::vector<uint32_t>& serials,
                                            uint32_t routerSerial);

// Connects to serial directly (USB, then TCP/IP), reads its build, version,
// addresses and model into info, and lets it go. False when it cannot be
// reached; nothing is shown then, the update that follows says why.
bool _describe_module(UpdaterDisplayInterface& display, uint32_t serial, DeviceInfo& info);

// "2.11.3": a module's firmware version as listings and results give it.
std::string VersionText(const DeviceInfo& info);

// Passes everything on to another sink and keeps the first error message,
// the reason a result gives for a failure.
class ErrorRecordingDisplay : public UpdaterDisplayInterface {
public:
    explicit ErrorRecordingDisplay(UpdaterDisplayInterface& target) : m_target(target) {}
    void display_progress(bool show) override { m_target.display_progress(show); }
    void update_progress(double fraction, const char* label) override { m_target.update_progress(fraction, label); }
    void update_spinner(bool on, const char* label) override { m_target.update_spinner(on, label); }
    void info_message(const char* text) override { m_target.info_message(text); }
    void error_message(const char* text) override
    {
        if (m_firstError.empty())
            m_firstError = text;
        m_target.error_message(text);
    }
    const std::string& FirstError() const { return m_firstError; }

private:
    UpdaterDisplayInterface& m_target;
    std::string m_firstError;
};
