#include "Dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "CLI_Display.h"
#include "FleetCommand.h"
#include "JsonOutput.h"
#include "Listings.h"
#include "Log.h"
#include "StoreDirectory.h"
#include "Usage.h"
#include "aTime.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

// A decimal build number, 0 (the latest) for any text that is not one.
uint32_t _build_number(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return uint32_t(strtoull(text.c_str(), nullptr, 10));
}

int _discover(const Parameters& params, Updater& updater, UpdaterDisplayInterface& display)
{
    linkType type = params.transportGiven && params.transport != TRANSPORT_RECOVER ? params.transport : 0;
    std::vector<DeviceInfo> devices;
    if (params.routerSerial != 0) {
        display.message(INFO, "Searching for Tessaluma Network devices connected to %08X", params.routerSerial);
        devices = updater.Discover_TSNetwork_Devices(params.routerSerial, type);
    } else {
        display.message(INFO, "Searching for Tessaluma devices");
        if (type == 0)
            type = USB;
        devices = updater.Discover_Devices(type);
    }
    if (params.json)
        _print_json(stdout, _json_device_list(devices));
    else
        _display_device_list(display, devices, type);
    return EXIT_OK;
}

// Recovery through the chip's boot loader; under --json its one result.
// --json runs no fingerprint command before it (two documents), so a fresh
// Updater that keeps the first error for the result misses nothing.
int _recover(const Parameters& params, uint32_t build, Updater& updater, UpdaterDisplayInterface& display)
{
    if (!params.json)
        return updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                        params.birdFile, params.override)
                   ? EXIT_OK
                   : EXIT_FAILED;
    ErrorRecordingDisplay recording(display);
    Updater recovering(params.serverUrl.c_str(), params.storeDir.c_str(), recording);
    recovering.Set_UEIBytes_Load(params.useUeiBytes);
    const uint64_t start = aTime_GetMSTicks();
    FleetResult r;
    r.ok = recovering.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                       params.birdFile, params.override);
    r.serial = params.serialNumber;
    r.build = build;
    r.seconds = double(aTime_GetMSTicks() - start) / 1000.0;
    r.error = recording.FirstError().empty() ? "recovery failed" : recording.FirstError();
    _print_json(stdout, _json_results({r}));
    return r.ok ? EXIT_OK : EXIT_FAILED;
}

// buildText is the one to install: -b's, or the one a download just fetched.
int _update(const Parameters& params, const std::string& buildText, Updater& updater,
            UpdaterDisplayInterface& display)
{
    uint32_t build = _build_number(buildText);
    updater.Set_UEIBytes_Load(params.useUeiBytes);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
        return _recover(params, build, updater, display);
    } else if (params.serialNumber != 0) {
        ok = updater.Update_Firmware(params.serialNumber, build, params.birdFile, params.moduleAddress,
                                     params.routerSerial, params.override);
    } else {
        display.message(ERROR, "Must specify the specific device to be updated");
        return EXIT_FAILED;
    }
    return ok ? EXIT_OK : EXIT_FAILED;
}

// The commands that need nothing but a serial number and print one listing.
int _listing_command(const Parameters& params, Updater& updater, UpdaterDisplayInterface& display)
{
    const char* name = params.commands.IsSet(CMD_LIST_BUILDS)         ? "List Builds"
                       : params.commands.IsSet(CMD_LIST_LOCAL_BUILDS) ? "List Local Builds"
                                                                      : "Get JWT";
    if (params.serialNumber == 0) {
        display.message(ERROR, "Error must supply a serial number for the %s command", name);
        _print_short_usage(stderr);
        return EXIT_FAILED;
    }
    const uint32_t serial = params.serialNumber;
    if (params.commands.IsSet(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS)) {
        const bool local = !params.commands.IsSet(CMD_LIST_BUILDS);
        const BuildMap builds = local ? updater.Get_BuildListLocal(serial) : updater.Get_BuildList(serial);
        if (params.json)
            _print_json(stdout, _json_builds(builds, serial, local ? params.storeDir : std::string()));
        else
            _display_builds(display, builds, serial);
    } else {
        const std::string token = updater.Get_JWT(serial);
        if (params.json)
            _print_json(stdout, _json_jwt(serial, token));
        else
            _display_jwt(display, token);
    }
    return EXIT_OK;
}

// The command that runs after the fingerprint and the download, 0 for none.
COMMANDS _dispatched_command(const Parameters& params)
{
    for (COMMANDS c : {CMD_DISCOVER, CMD_UPDATE, CMD_LIST_BUILDS, CMD_LIST_LOCAL_BUILDS, CMD_GET_JWT})
        if (params.commands.IsSet(c))
            return c;
    return COMMANDS(0);
}

// -G and -U go the way of several modules for a list, ALL, or a script's
// document; a lone serial number without --json keeps the single path, and
// so does a missing one (with its own messages).
bool _fleet_run(const Parameters& params)
{
    const bool named = _several_devices(params) || (params.json && !params.serials.empty());
    return named && params.transport != TRANSPORT_RECOVER;
}

}  // namespace

bool _check_combinations(const Parameters& params, UpdaterDisplayInterface& display)
{
    const COMMANDS dispatched = _dispatched_command(params);
    if (!params.modelFilter.empty()) {
        if (!params.allDevices) {
            display.message(ERROR, "--model narrows -d ALL; it takes no list of devices");
            return false;
        }
        if (!_known_model_name(params.modelFilter)) {
            display.message(ERROR, "Unknown model name [%s]", params.modelFilter.c_str());
            return false;
        }
    }
    if (_several_devices(params)) {
        if (dispatched == CMD_LIST_BUILDS || dispatched == CMD_LIST_LOCAL_BUILDS || dispatched == CMD_GET_JWT) {
            display.message(ERROR, "Only -G and -U take several devices; the other commands take one serial number");
            return false;
        }
        if (dispatched == CMD_UPDATE && params.transport == TRANSPORT_RECOVER) {
            display.message(ERROR, "Recovery takes one device at a time");
            return false;
        }
    }
    if (params.json) {
        int documents = params.commands.IsSet(CMD_FINGERPRINT) ? 1 : 0;
        if (dispatched != 0)
            ++documents;
        if (params.commands.IsSet(CMD_GET_BUILD) && dispatched != CMD_UPDATE)
            ++documents;
        if (documents > 1) {
            display.message(ERROR, "--json writes one document: give one of -N, -G, -D, -B, -L, -J or -U "
                                   "(or -G with -U)");
            return false;
        }
    }
    return true;
}

int _run_commands(const Parameters& params, Updater& updater, CLI_Display& display)
{
    int result = EXIT_OK;
    std::string buildText = params.buildText;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return EXIT_FAILED;
        }
        Fingerprint fingerprint;
        const bool read = updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile,
                                                  params.baudRate, true);
        if (read && !params.json)
            _display_fingerprint(display, fingerprint);
        if (!read) {
            display.message(ERROR, "Got no response from chip");
            result = EXIT_FAILED;
        }
        if (params.json)
            _print_json(stdout, _json_fingerprint(updater.RecoveryChipKind(), read ? &fingerprint : nullptr));
    }

    const COMMANDS dispatched = _dispatched_command(params);
    if (_fleet_run(params) && (params.commands.IsSet(CMD_GET_BUILD) || dispatched == CMD_UPDATE)) {
        // One run does the download and the update of every module; a
        // download before another command runs on its own.
        Parameters run = params;
        if (dispatched != CMD_UPDATE) {
            run.commands = CommandsClass();
            run.commands.Set(CMD_GET_BUILD);
        }
        result = _run_fleet(run, buildText, updater, display);
        if (dispatched == CMD_UPDATE)
            return result;
    } else if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serialNumber == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return EXIT_FAILED;
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X", params.serialNumber);
        if (buildText.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", buildText.c_str());
        }
        uint32_t fetched = updater.Download_Firmware(params.serialNumber, buildText, params.override, false);
        if (fetched != 0) {
            buildText = std::to_string(fetched);  // a following update installs exactly this build
            result = EXIT_OK;
        } else {
            result = EXIT_FAILED;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER))
        return _discover(params, updater, display);
    if (params.commands.IsSet(CMD_UPDATE))
        return _update(params, buildText, updater, display);
    if (params.commands.IsSet(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS | CMD_GET_JWT))
        return _listing_command(params, updater, display);
    return result;
}

int RunUpdater(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (!_get_params(argc, argv, params, display)) {
        display.send_info_to_stderr(params.json);
        _display_app_version(display);
        _print_short_usage(stderr);
        return EXIT_FAILED;
    }
    display.send_info_to_stderr(params.json);
    _display_app_version(display);
    if (params.helpGiven || !params.commands.IsSet(CMD_ANY_COMMAND_MASK)) {
        _print_usage(stderr, params.logMaskGiven, params.helpGiven);
        return EXIT_OK;
    }
    if (!_check_combinations(params, display))
        return EXIT_FAILED;
    if (!_prepare_store_directory(params, display))
        return EXIT_FAILED;

    // The operations report their own failures and throw nothing; this is
    // the last line for one that does anyway (memory running out, say): a
    // message and the failure exit code rather than an abort.
    try {
        Updater updater(params.serverUrl.c_str(), params.storeDir.c_str(), display);
        return _run_commands(params, updater, display);
    } catch (const std::exception& e) {
        display.message(ERROR, "Unexpected failure: %s", e.what());
    } catch (...) {
        display.message(ERROR, "Unexpected failure");
    }
    return EXIT_FAILED;
}
