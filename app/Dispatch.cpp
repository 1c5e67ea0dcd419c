#include "Dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "CLI_Display.h"
#include "Listings.h"
#include "Log.h"
#include "StoreDirectory.h"
#include "Usage.h"

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
    if (params.routerSerial != 0) {
        display.message(INFO, "Searching for Tessaluma Network devices connected to %08X", params.routerSerial);
        _display_device_list(display, updater.Discover_TSNetwork_Devices(params.routerSerial, type), type);
    } else {
        display.message(INFO, "Searching for Tessaluma devices");
        if (type == 0)
            type = USB;
        _display_device_list(display, updater.Discover_Devices(type), type);
    }
    return EXIT_OK;
}

// buildText is the one to install: -b's, or the one a download just fetched.
int _update(const Parameters& params, const std::string& buildText, Updater& updater,
            UpdaterDisplayInterface& display)
{
    uint32_t build = _build_number(buildText);
    updater.Set_UEIBytes_Load(params.useUeiBytes);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
        ok = updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                      params.birdFile, params.override);
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
    if (params.commands.IsSet(CMD_LIST_BUILDS))
        _display_builds(display, updater.Get_BuildList(params.serialNumber), params.serialNumber);
    else if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS))
        _display_builds(display, updater.Get_BuildListLocal(params.serialNumber), params.serialNumber);
    else
        _display_jwt(display, updater.Get_JWT(params.serialNumber));
    return EXIT_OK;
}

}  // namespace

int _run_commands(const Parameters& params, Updater& updater, UpdaterDisplayInterface& display)
{
    int result = EXIT_OK;
    std::string buildText = params.buildText;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return EXIT_FAILED;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile, params.baudRate,
                                    true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(ERROR, "Got no response from chip");
            result = EXIT_FAILED;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
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
        _display_app_version(display);
        _print_short_usage(stderr);
        return EXIT_FAILED;
    }
    _display_app_version(display);
    if (params.helpGiven || !params.commands.IsSet(CMD_ANY_COMMAND_MASK)) {
        _print_usage(stderr, params.logMaskGiven, params.helpGiven);
        return EXIT_OK;
    }
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
