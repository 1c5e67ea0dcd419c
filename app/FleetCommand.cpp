// -G and -U over several modules (-d with a list, or ALL), and any -G or -U
// whose results a script reads (--json): which modules, the image check,
// Ctrl+C, the run, the summary and the document.
#include "FleetCommand.h"

#include <csignal>

#include "BirdFile.h"
#include "FleetConsole.h"
#include "JsonOutput.h"
#include "aDefs.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

std::atomic<bool> sStop{false};

void _on_interrupt(int)
{
    sStop = true;
}

// SIGINT stops the run from starting further modules; the handler is reset
// as it runs, so a second Ctrl+C ends the program at once.
class InterruptGuard {
public:
    InterruptGuard()
    {
        sStop = false;
        struct sigaction action {};
        action.sa_handler = _on_interrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        installed = sigaction(SIGINT, &action, &previous) == 0;
    }
    ~InterruptGuard()
    {
        if (installed)
            sigaction(SIGINT, &previous, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previous {};
    bool installed = false;
};

// The single-module console: the flows' messages exactly as without --json,
// on the display's own streams.
class PlainObserver : public FleetObserver {
public:
    explicit PlainObserver(UpdaterDisplayInterface& display) : target(display) {}
    UpdaterDisplayInterface& display(size_t) override { return target; }
    void phase(size_t, FleetPhase) override {}
    void described(size_t, const DeviceInfo&) override {}
    void idle() override {}

private:
    UpdaterDisplayInterface& target;
};

std::vector<FleetModule> _choose_modules(const Parameters& params, Updater& updater, UpdaterDisplayInterface& display)
{
    if (!params.allDevices)
        return FleetModulesListed(updater, params.serials, params.routerSerial);
    linkType type = params.transportGiven && params.transport != TRANSPORT_RECOVER ? params.transport : 0;
    if (params.routerSerial != 0)
        display.message(INFO, "Searching for Tessaluma Network devices connected to %08X", params.routerSerial);
    else
        display.message(INFO, "Searching for Tessaluma devices");
    return FleetModulesFound(updater, type, params.routerSerial, params.modelFilter);
}

// One image for several modules must be generic: each module then gets its
// own serial number written in. False after saying why.
bool _image_fits_several(const std::string& path, UpdaterDisplayInterface& display)
{
    try {
        BirdFile file(path);
        if (file.IsGenericImage())
            return true;
        display.message(ERROR, "The firmware file %s is made for one device; -f with several devices takes a "
                               "generic image",
                        path.c_str());
    } catch (const std::exception&) {
        display.message(ERROR, "Failed to load bird file");
    }
    return false;
}

}  // namespace

bool _known_model_name(const std::string& name)
{
    for (unsigned code = 0; code < 256; ++code)
        if (name == aDefs_GetModelName(uint8_t(code)) && name != "Unknown")
            return true;
    return false;
}

int _run_fleet(const Parameters& params, const std::string& buildText, Updater& updater, CLI_Display& display)
{
    const bool update = params.commands.IsSet(CMD_UPDATE);
    const bool download = params.commands.IsSet(CMD_GET_BUILD);
    const std::vector<FleetModule> modules = _choose_modules(params, updater, display);
    if (modules.empty()) {
        display.message(ERROR, "No devices found%s", params.modelFilter.empty() ? "" : " of that model");
        if (params.json)
            _print_json(stdout, _json_results({}));
        return 1;
    }
    if (modules.size() > 1 && !params.birdFile.empty() && update && !_image_fits_several(params.birdFile, display))
        return 1;

    FleetPlan plan;
    plan.download = download;
    plan.update = update;
    plan.buildText = buildText;
    plan.birdFile = params.birdFile;
    plan.override = params.override;
    plan.useUeiBytes = params.useUeiBytes;
    plan.jobs = params.jobs;

    // One module named alone reads as it always did; several get the fleet console.
    const bool plain = !params.allDevices && modules.size() == 1;
    FleetConsole console(modules, update, display.progressStream(), sStop);
    PlainObserver single(display);
    FleetObserver& observer = plain ? static_cast<FleetObserver&>(single) : console;
    std::vector<FleetResult> results;
    {
        InterruptGuard interrupts;
        results = RunFleet(params.serverUrl, params.storeDir, modules, plan, observer, sStop);
    }
    if (!plain)
        console.PrintSummary(results);
    if (params.json)
        _print_json(stdout, _json_results(results));
    for (const FleetResult& r : results)
        if (!r.ok)
            return 1;
    return 0;
}
