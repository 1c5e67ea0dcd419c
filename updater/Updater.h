// The one object through which the command line does its work: each command
// is one operation. Operations report each failure once through the display
// and return their failure value; they never throw to the caller, except
// load_bird, whose failures are thrown as std::runtime_error.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

class BirdFile;

// Build number text to version text.
using BuildMap = std::map<std::string, std::string>;

class Updater {
public:
    // Keeps copies of both texts and the reference to the display.
    Updater(const char* serverUrl, const char* storeDir, UpdaterDisplayInterface& display);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // The modules attached by the given transport; empty when none or on failure.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // The modules on the I2C bus behind the routing module routerSerial.
    std::vector<DeviceInfo> Discover_TSNetwork_Devices(uint32_t routerSerial, linkType type);

    // Chooses whether the firmware transfer tries UEI byte-array loading.
    void Set_UEIBytes_Load(bool use);

    // Writes a firmware image into a running module; true on success.
    bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile, uint8_t moduleAddress,
                         uint32_t routerSerial, bool override);
    // Loads the image named by birdFile, or the stored build of serial;
    // throws std::runtime_error with the reason when that fails.
    BirdFile load_bird(const char* action, const std::string& birdFile, uint32_t serial, uint32_t build,
                       bool downloadIfMissing);

    // The builds the update server offers for serial; empty on failure.
    BuildMap Get_BuildList(uint32_t serial);
    // The builds kept in the local store for serial; empty when none.
    BuildMap Get_BuildListLocal(uint32_t serial);
    // Fetches one build (empty text: the latest) into the store; the build
    // number fetched, 0 on failure.
    uint32_t Download_Firmware(uint32_t serial, const std::string& buildText, bool override, bool noCal);
    // The same for the module that a chip fingerprint identifies.
    uint32_t Download_Firmware(Fingerprint fingerprint, const std::string& buildText, bool override);
    // The module's entitlement token; empty on failure.
    std::string Get_JWT(uint32_t serial);

    // Rewrites a module's firmware through its chip's boot loader; true on success.
    bool Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baudRate, uint32_t serial,
                          const std::string& birdFile, bool override);
    // Reads the chip's fingerprint into out and notes the chip kind; true on success.
    bool Get_Fingerprint(Fingerprint& out, const std::string& serialPort, uint32_t serial,
                         const std::string& birdFile, uint32_t baudRate, bool resetAfter);

    const std::string& ServerUrl() const { return serverUrl; }
    const std::string& StoreDir() const { return storeDir; }
    uint8_t RecoveryChipKind() const { return recoveryChipKind; }
    bool UsesUeiBytes() const { return useUeiBytes; }

private:
    std::string serverUrl;
    std::string storeDir;
    UpdaterDisplayInterface& display;
    uint8_t recoveryChipKind = 0;  // 1 = i.MX, 2 = LPC
    bool useUeiBytes = false;
};
