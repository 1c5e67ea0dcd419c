// Recovery of modules whose firmware no longer starts, through their chip's
// boot loader: the LPC serial ISP loader, or the i.MX serial download
// protocol that starts a small live loader in RAM which then takes the
// firmware with the ordinary upgrade protocol. First the chip's fingerprint
// identifies the module at the update server.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "BirdFile.h"
#include "DeviceQueries.h"
#include "FirmwareTransfer.h"
#include "HID_SDPLoader.h"
#include "Log.h"
#include "LpcFlashPlan.h"
#include "NXPSerialClass.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStoreFactory.h"
#include "aTime.h"
#include "aUSB.h"

using Tarvelin::Tessaluma::Module;
using Tarvelin::Tessaluma::SystemClass;

namespace {

constexpr uint32_t kUnknownSerial = 0xDEADDEAD;
constexpr uint8_t kSystemUniqueIdentifier = 39;
constexpr uint32_t kFirstSector = 0;
constexpr uint32_t kLastSector = 29;
constexpr uint32_t kDefaultLoaderEntry = 0x20000400;
constexpr int kUsbAttempts = 15;
constexpr unsigned long kUsbPauseMs = 1000;
constexpr uint8_t kChipIMX = 1;
constexpr uint8_t kChipLPC = 2;

uint32_t bigEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

bool _get_fingerprint_lpc(const std::string& serialPort, uint32_t baudRate, Fingerprint& fp)
{
    NXPSerialClass chip;
    aErr err = chip.Connect(serialPort.c_str(), baudRate);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", int(err));
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = chip.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", int(err));
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    std::copy(chip.GetDeviceIdentifier(), chip.GetDeviceIdentifier() + 4, fp.words);
    return true;
}

// Loads the loader blocks through the chip's serial download protocol and
// starts the live loader. An image without a loader block is refused before
// anything reaches the chip; a closed part that will not start the loader
// says so, and the user hears it at once.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, const BirdFile& file, const std::string& serialPort)
{
    using Level = UpdaterDisplayInterface::Level;
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    if (blocks.empty()) {
        display.message(Level::LEVEL_ERROR, "The recovery image %s holds no loader for the chip", file.GetPath().c_str());
        return aErrNotFound;
    }
    std::unique_ptr<SDPLoader_Interface> transport;
    if (serialPort == "USB")
        transport = std::make_unique<HID_SDPLoader>(SDPLoader::IMX_VENDOR_ID, SDPLoader::IMX_PRODUCT_ID);
    else
        transport = std::make_unique<Serial_SDPLoader>(serialPort);
    SDPLoader loader;
    if (!loader.setLoader(std::move(transport)) || loader.init() != aErrNone)
        return aErrNotReady;
    for (size_t number = 0; number < blocks.size(); ++number) {
        const BirdBlock& block = blocks[number];
        const bool hasAddress = block.length >= 4;
        const uint32_t address = hasAddress ? bigEndian32(block.data) : 0;
        const uint8_t* payload = hasAddress ? block.data + 4 : block.data;
        const size_t size = hasAddress ? block.length - 4 : block.length;
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", int(number), size, int(address));
        if (loader.writeLoader(payload, size, address) != SDPLoader::LOADER_OK)
            return aErrConnection;
    }
    uint32_t entry = kDefaultLoaderEntry;
    for (const BirdBlock& start : file.FindBlocks(BirdFile::BLOCK_START_ADDRESS)) {
        if (start.length >= 4) {
            entry = bigEndian32(start.data);
            break;
        }
    }
    if (loader.startLoader(entry) == SDPLoader::LOADER_REFUSED) {
        display.message(Level::LEVEL_ERROR,
                        "The chip is closed (secured) and refused to start the recovery loader (security 0x%08X, "
                        "status 0x%08X): it starts signed loaders only",
                        loader.securityWord(), loader.lastStatus());
        return aErrPermission;
    }
    return aErrNone;
}

// Connects the module over USB, retrying while it enumerates, the shared USB
// context dropped before every third try.
bool connectOverUSB(Module& module, uint32_t serial)
{
    for (int i = 0; i < kUsbAttempts; ++i) {
        if ((i + 1) % 3 == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessaluma_libusb_exit();
        }
        module.discoverAndConnect(USB, serial);
        if (module.isConnected())
            return true;
        aTime_MSSleep(kUsbPauseMs);
    }
    return false;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, const BirdFile& file, uint32_t serial, bool useUeiBytes)
{
    using Level = UpdaterDisplayInterface::Level;
    Module module(0, 0);
    aErr err = _disableEther(module, display);
    if (err == aErrNone) {
        bool connected = false;
        for (int round = 0; round < kUsbAttempts && !connected; ++round) {
            module.discoverAndConnect(USB, kUnknownSerial);
            if (!module.isConnected())
                module.discoverAndConnect(USB, serial);
            connected = module.isConnected();
            if (!connected)
                aTime_MSSleep(kUsbPauseMs);
        }
        if (!connected) {
            display.message(Level::LEVEL_ERROR, "Could not connect to device");
            return false;
        }
        err = _transfer_firmware(display, module, file, false, useUeiBytes);
    }
    if (err != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

// What a recovery that stopped after the erase leaves: a chip with nothing
// to start, which the same command can still recover.
constexpr const char* kErasedState =
    "the flash was erased; the module will not start until a recovery completes — run the same command again";

// The firmware blocks recovery writes into the LPC flash, in file order: up
// to the end marker (a block of exactly 4 payload bytes, itself not written),
// blocks too short to hold their address left out.
std::vector<LpcImageBlock> _lpc_image_blocks(const BirdFile& file)
{
    std::vector<LpcImageBlock> out;
    for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        if (block.length < 4)
            continue;
        const uint32_t payload = block.length - 4;
        if (payload == 4)
            break;
        out.push_back({bigEndian32(block.data), block.data + 4, payload});
    }
    return out;
}

// A failure before the erase leaves the chip as it was; after it, the user
// must know the module has nothing left to start.
bool _lpc_failed(UpdaterDisplayInterface& display, bool erased, const char* what)
{
    using Level = UpdaterDisplayInterface::Level;
    display.display_progress(false);
    if (erased) {
        display.message(Level::LEVEL_ERROR, "%s", what);
        display.message(Level::LEVEL_ERROR, "Recovery incomplete: %s", kErasedState);
    } else {
        display.message(Level::LEVEL_ERROR, "%s; nothing was erased", what);
    }
    return false;
}

// Writes the planned image straight into the LPC flash: the whole flash is
// erased, and every chunk written to RAM once and copied into flash with the
// copies the plan gives, each after preparing its sectors.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, const BirdFile& file, const LpcFlashPlan& plan,
                           const std::string& serialPort, uint32_t baudRate)
{
    using Level = UpdaterDisplayInterface::Level;
    NXPSerialClass chip;
    char what[160];
    if (chip.Connect(serialPort.c_str(), baudRate) != aErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", serialPort.c_str());
        snprintf(what, sizeof what, "Could not open %s", serialPort.c_str());
        return _lpc_failed(display, false, what);
    }
    // The fingerprint left the chip synchronised at this rate, so the unlock
    // normally just works; a chip reset since then is synchronised anew.
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (chip.Unlock() != aErrNone) {
        if (chip.Sync() != aErrNone)
            return _lpc_failed(display, false, "The chip no longer answers its boot loader protocol");
        if (chip.Unlock() != aErrNone) {
            Log::log(DEBUG_Network, "Could not unlock\n");
            return _lpc_failed(display, false, "Could not unlock the chip's flash");
        }
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (chip.Prepare(kFirstSector, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return _lpc_failed(display, false, "Could not prepare the chip's flash for erasing");
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (chip.Erase(kFirstSector, kLastSector) != aErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return _lpc_failed(display, true, "Could not erase the chip's flash");
    }
    if (chip.SetEcho(false) != aErrNone)
        return _lpc_failed(display, true, "The chip stopped answering after the erase");
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.GetPath().c_str());
    const int n = int(plan.blocks.size());
    int k = 0;
    for (const LpcFlashBlock& block : plan.blocks) {
        ++k;
        display.message(Level::LEVEL_INFO, "Transferring firmware block %d of %d, %d bytes", k, n, int(block.length));
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", int(block.length),
                 block.address);
        uint32_t done = 0, planned = 0;
        for (const LpcFlashChunk& chunk : block.chunks)
            planned += uint32_t(chunk.bytes.size());
        for (const LpcFlashChunk& chunk : block.chunks) {
            const uint32_t size = uint32_t(chunk.bytes.size());
            Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(size), chunk.flashAddress);
            Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(size), NXPSerialClass::WRITE_ADDRESS);
            if (chip.Write(NXPSerialClass::WRITE_ADDRESS, size, chunk.bytes.data()) != aErrNone) {
                Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
                snprintf(what, sizeof what, "Could not send the firmware for 0x%08X to the chip", chunk.flashAddress);
                return _lpc_failed(display, true, what);
            }
            for (const LpcFlashCopy& copy : chunk.copies) {
                Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", int(copy.firstSector),
                         int(copy.lastSector));
                if (chip.Prepare(copy.firstSector, copy.lastSector) != aErrNone) {
                    Log::log(DEBUG_Updater, "\t Prepare failed\n");
                    snprintf(what, sizeof what, "Could not prepare flash sectors %u to %u", copy.firstSector,
                             copy.lastSector);
                    return _lpc_failed(display, true, what);
                }
                const uint32_t ram = NXPSerialClass::WRITE_ADDRESS + copy.ramOffset;
                Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copy.length), ram,
                         copy.flashAddress);
                if (chip.CopyToFlash(copy.flashAddress, ram, copy.length) != aErrNone) {
                    Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
                    snprintf(what, sizeof what, "Could not write %u bytes of flash at 0x%08X", copy.length,
                             copy.flashAddress);
                    return _lpc_failed(display, true, what);
                }
            }
            done += size;
            display.update_progress(double(done) / double(planned), nullptr);
        }
        display.display_progress(false);
    }
    display.message(Level::LEVEL_INFO, "Transferred %d blocks, %d total bytes", n, int(plan.totalBytes));
    aErr err = chip.SetEcho(true);
    if (err != aErrNone) {
        display.message(Level::LEVEL_ERROR, "Recovery Error transfering data to device ==> [%d, %s]", int(err),
                        aError_GetErrorText(err));
        return false;
    }
    display.message(Level::LEVEL_INFO, "Rebooting Device");
    chip.ExecuteFrom(0);
    return true;
}

}  // namespace

// The live loader comes from the image that holds it: a file given for a
// known device, or the device's (or the default recovery device's) stored
// latest download, fetched first when the store has none.
static bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& serialPort,
                                 uint32_t serial, const std::string& birdFile, Fingerprint& fp, bool resetAfter)
{
    using Level = UpdaterDisplayInterface::Level;
    auto store = _createUpdaterStore(display, updater.StoreDir(), "_get_fingerprint_imx");
    if (!store)
        return false;
    if (serial == 0)
        serial = kUnknownSerial;
    UpdaterStoreItem item;
    bool known = store->FindDevice(serial, &item);
    BirdFile file;
    try {
        if (!birdFile.empty()) {
            if (serial == kUnknownSerial) {
                display.message(Level::LEVEL_ERROR,
                                "Add serial number or remove the bird filename to use a default recovery image.");
                return false;
            }
            file = BirdFile(birdFile);
        } else {
            std::string imageName;
            if (!known) {
                display.mute_messages(true);
                Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
                const uint32_t build = updater.Download_Firmware(serial, "", false, false);
                if (build != 0) {
                    imageName = std::to_string(build) + ".bird";
                    known = store->FindDevice(serial, &item);
                }
                display.mute_messages(false);
            } else {
                const char* latest = item.Settings()["LATEST_DOWNLOAD"];
                imageName = latest ? latest : "";
            }
            if (!known)
                throw std::runtime_error("No recovery image for " + std::to_string(serial));
            file = item.ReadBirdFile(imageName);
        }
    } catch (const std::exception& e) {
        display.mute_messages(false);
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }
    if (_transfer_recovery_loader(display, file, serialPort) != aErrNone) {
        Log::log(DEBUG_Updater, "Error loading liveloader.\n");
        return false;
    }
    Module module(0, 0);
    if (_disableEther(module, display) != aErrNone)
        return false;
    if (!connectOverUSB(module, serial)) {
        Log::log(DEBUG_Updater, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    for (uint8_t j = 0; j < 4; ++j) {
        if (system.getUEI32(kSystemUniqueIdentifier, j, &fp.words[3 - j]) != aErrNone) {
            Log::log(DEBUG_Updater, "Error getting Identifier %d.\n", int(j));
            return false;
        }
    }
    if (resetAfter)
        system.reset();
    return true;
}

bool Updater::Get_Fingerprint(Fingerprint& out, const std::string& serialPort, uint32_t serial,
                              const std::string& birdFile, uint32_t baudRate, bool resetAfter)
{
    if (_get_fingerprint_lpc(serialPort, baudRate, out)) {
        recoveryChipKind = kChipLPC;
        return true;
    }
    recoveryChipKind = kChipIMX;
    return _get_fingerprint_imx(display, *this, serialPort, serial, birdFile, out, resetAfter);
}

bool Updater::Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baudRate, uint32_t serial,
                               const std::string& birdFile, bool)
{
    using Level = UpdaterDisplayInterface::Level;
    const uint64_t start = aTime_GetMSTicks();
    Fingerprint fp;
    // An LPC chip keeps the rate it was first synchronised at: the whole
    // conversation, fingerprint and programming, goes at the rate given.
    if (!Get_Fingerprint(fp, serialPort, serial, birdFile, baudRate, false)) {
        display.message(Level::LEVEL_ERROR, "Could not get Device Identifier");
        return false;
    }
    if (birdFile.empty()) {
        const std::array<uint32_t, 4> words = {fp.words[0], fp.words[1], fp.words[2], fp.words[3]};
        uint32_t latest = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(words, serial, latest, serverUrl.c_str())) {
            display.message(Level::LEVEL_ERROR, "Failed to retrieve recovery information from Tarvelin server");
            return false;
        }
        if (build == 0)
            build = latest;
    } else {
        build = 0;
    }
    BirdFile file;
    try {
        file = load_bird("Recovering", birdFile, serial, build, true);
    } catch (const std::exception&) {
        display.message(Level::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }
    if (file.IsGenericImage()) {
        display.message(Level::LEVEL_ERROR, "Updater does not support offline recovery");
        return false;
    }
    bool result = false;
    if (recoveryChipKind == kChipIMX) {
        result = _recover_firmware_imx(display, file, serial, useUeiBytes);
    } else if (recoveryChipKind == kChipLPC) {
        file.DecodeFirmwareBlocks(fp.words);
        // The whole programming is planned before the erase: an image that
        // cannot be written, or that the chip would never start (decoded
        // with another chip's fingerprint it is garbage, which the check word
        // shows), leaves the flash as it is.
        LpcFlashPlan plan;
        std::string why;
        if (LpcFlashPlan::Build(_lpc_image_blocks(file), plan, why)) {
            if (plan.checkWordRewritten)
                Log::log(DEBUG_Updater, "Vector check word set by the chip's rule (words 0 to 7 sum to zero)\n");
            result = _recover_firmware_lpc(display, file, plan, serialPort, baudRate);
        } else {
            result = _lpc_failed(display, false, why.c_str());
        }
    } else {
        display.message(Level::LEVEL_ERROR, "Unknown device");
    }
    display.message(Level::LEVEL_INFO, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return result;
}
