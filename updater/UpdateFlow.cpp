// Writing firmware into a running module: the choice of build, the image,
// the connection (direct, or through a routing module), the checks that the
// image fits the module, the loader and firmware phases, and the record of
// the transfer in the store.
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "BirdFile.h"
#include "BuildNumber.h"
#include "DeviceQueries.h"
#include "FirmwareTransfer.h"
#include "Log.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStoreFactory.h"
#include "aDefs.h"
#include "aTime.h"
#include "aUSB.h"

using Tarvelin::Tessaluma::Module;
using Tarvelin::Tessaluma::SystemClass;

namespace {

constexpr int kReenumerationAttempts = 15;
constexpr unsigned long kReenumerationPauseMs = 1000;

// A stored image name such as "1234.bird" read from its leading digits.
uint32_t buildFromSetting(UpdaterStoreItem& item, const char* key)
{
    const char* value = item.Settings()[key];
    return value ? uint32_t(std::atoi(value)) : 0;
}

std::string imageName(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

// The build the flow installs when none was named: the server's latest when
// it is stored, else the last download, else the last transfer.
uint32_t chooseBuild(UpdaterDisplayInterface& display, const std::string& serverUrl, uint32_t serial,
                     UpdaterStoreItem& item)
{
    using Level = UpdaterDisplayInterface::Level;
    std::string buildText, versionText;
    UpdateServerRequest::QueryBuild(serial, buildText, versionText, serverUrl.c_str());
    uint32_t build = _build_number_or_zero(buildText);
    if (build != 0) {
        try {
            item.ReadBirdFile(imageName(build));
        } catch (const std::exception&) {
            build = 0;
            display.message(Level::LEVEL_INFO,
                            "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        }
    }
    if (build == 0) {
        build = buildFromSetting(item, "LATEST_DOWNLOAD");
        if (build != 0)
            display.message(Level::LEVEL_INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = buildFromSetting(item, "LATEST_TRANSFER");
        if (build != 0)
            display.message(Level::LEVEL_INFO, "Updating with the Latest Transfer");
    }
    return build;
}

// Opens the target: over USB, or TCP/IP when USB does not find it; or through
// the routing module, after finding the target's bus address when not given.
aErr connectTarget(Updater& updater, UpdaterDisplayInterface& display, Module& target, uint32_t serial,
                   uint8_t moduleAddress, uint32_t routerSerial)
{
    using Level = UpdaterDisplayInterface::Level;
    if (routerSerial == 0) {
        aErr err = target.connect(USB, serial);
        if (err == aErrNotFound)
            err = target.connect(TCPIP, serial);
        if (err != aErrNone)
            display.message(Level::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
        return err;
    }
    if (moduleAddress == 0) {
        const std::vector<DeviceInfo> devices = updater.Discover_TSNetwork_Devices(routerSerial, 0);
        if (devices.empty()) {
            display.message(Level::LEVEL_ERROR, "Unable to find modules on Network");
            return aErrNotFound;
        }
        for (const DeviceInfo& info : devices)
            if (info.spec.serial_num == serial)
                moduleAddress = uint8_t(info.networkAddress);
        if (moduleAddress == 0) {
            display.message(Level::LEVEL_ERROR,
                            "Module address required for indirect firmware update, could not find serial number "
                            "[0x%08X] on network",
                            serial);
            return aErrNotFound;
        }
    }
    target.setModuleAddress(moduleAddress);
    Module router(0, 0);
    aErr err = _disableEther(router, display);
    if (err != aErrNone)
        return err;
    err = router.connect(USB, routerSerial);
    if (err == aErrNotFound)
        err = router.connect(TCPIP, routerSerial);
    if (err != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Failed to connect to link module [%08X]", routerSerial);
        return err;
    }
    err = target.connectThroughLinkModule(&router);
    if (err != aErrNone)
        display.message(Level::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
    return err;
}

// After the loader starts, a USB module comes back as a new device: look for
// it again, refreshing the USB context before every third try. A module on
// TCP/IP comes back on its own address and port.
void awaitReenumeration(Module& target, uint32_t serial, linkType type)
{
    target.disconnect();
    for (int i = 0; i < kReenumerationAttempts; ++i) {
        if (type == USB) {
            if ((i + 1) % 3 == 0) {
                Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Tessaluma_libusb_exit();
            }
            target.discoverAndConnect(USB, serial);
        } else {
            target.reconnect();
        }
        if (target.isConnected())
            return;
        aTime_MSSleep(kReenumerationPauseMs);
    }
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& file, Module& module, uint32_t serial)
{
    if (file.GetBlockCount() == 0 || (!file.IsGenericImage() && !file.ValidateSerialNumber(serial)))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (err != aErrNone || moduleSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", int(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (err != aErrNone || !file.ValidateModel(name)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Connected device model and Bird file model do not match [%s] (%d)", name, int(err));
        return false;
    }
    return true;
}

BirdFile Updater::load_bird(const char* action, const std::string& birdFile, uint32_t serial, uint32_t build,
                            bool downloadIfMissing)
{
    using Level = UpdaterDisplayInterface::Level;
    auto store = _createUpdaterStore(display, storeDir, "load_bird");
    if (!store)
        return BirdFile();
    if (!birdFile.empty()) {
        display.message(Level::LEVEL_INFO, "%s from Birdfile: %s", action, birdFile.c_str());
        return BirdFile(birdFile);
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display.message(Level::LEVEL_INFO, "%s firmware with build: %u", action, build);
    try {
        return item.ReadBirdFile(imageName(build));
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(Level::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadBirdFile(imageName(build));
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile, uint8_t moduleAddress,
                              uint32_t routerSerial, bool override)
{
    using Level = UpdaterDisplayInterface::Level;
    if (serial == 0) {
        display.message(Level::LEVEL_ERROR, "Update command must specify the specific device");
        return false;
    }
    auto store = _createUpdaterStore(display, storeDir, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);
    const uint64_t start = aTime_GetMSTicks();

    if (birdFile.empty()) {
        if (build == 0)
            build = chooseBuild(display, serverUrl, serial, item);
        if (build == 0) {
            display.message(Level::LEVEL_ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::exception&) {
        display.message(Level::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }
    // Refused whatever -OVERRIDE says: such a file would put the module in
    // its loader, or report an update, without writing any firmware.
    if (const char* why = _image_updates_nothing(file)) {
        display.message(Level::LEVEL_ERROR, "%s", why);
        return false;
    }
    if (file.IsGenericImage()) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display.message(Level::LEVEL_ERROR, "Could not write the serial number into the firmware image");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, 0);
    aErr err = _disableEther(target, display);
    if (err == aErrNone)
        err = connectTarget(*this, display, target, serial, moduleAddress, routerSerial);
    if (err == aErrNone && !override && !_validate_birdfile(display, file, target, serial)) {
        display.message(Level::LEVEL_ERROR, "Birdfile failed validation");
        return false;
    }
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
        return false;
    }
    linkSpec spec{};
    target.getLinkSpecifier(&spec);
    bool restarted = false;
    // Behind a router the module's restart never drops the router's link.
    err = _transfer_loader(display, target, file, routerSerial == 0 ? &restarted : nullptr);
    if (err == aErrNone && restarted)
        awaitReenumeration(target, serial, spec.type);
    if (err == aErrNone)
        err = _transfer_firmware(display, target, file, routerSerial != 0, useUeiBytes);
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
        // The protocol steps only log their failures; the user still hears that the update failed.
        display.message(Level::LEVEL_ERROR, "Failed to update the firmware of module [%08X] (%d, %s)", serial,
                        int(err), aError_GetErrorText(err));
        return false;
    }

    const std::string transferred = birdFile.empty() ? imageName(build) : birdFile;
    try {
        if (!item.IsValid())
            item = store->AddDevice(serial);  // an image given by path, for a device new to this store
        item.Settings().Add("LATEST_TRANSFER", transferred);
        item.Settings().Add("LAST_TRANSFER_DATE", KeyValueStore_TimeText());
        item.Settings().Save(nullptr);
    } catch (const std::exception& e) {
        display.message(Level::LEVEL_ERROR, "Could not record the transfer in the store: %s", e.what());
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(Level::LEVEL_INFO, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
