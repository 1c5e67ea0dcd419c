// An i.MX chip whose firmware no longer starts, on the test bed: its boot ROM
// in serial download mode (sdpsim) behind a hidraw node with the ROM's own USB
// identity (HID reports 1 to 4), or on a pseudo-terminal as its UART. When the
// host jumps to what it loaded, the ROM leaves the bus and the live loader
// comes: a modsim module of our family, in loader mode, that answers option 39
// of its system entity with the identifier the ROM's fuses hold, and writes
// what the ordinary upgrade sends into its flash.
//
//   usbbed::ImxOptions o;
//   o.uniqueId = {0x0C0FFEE0, 0x1CEB00DA, 0x2BADF00D, 0x3DEFACED};
//   o.loader.imageOut = dir + "/flash.bin";
//   usbbed::ImxChip& chip = bed.addImx(o);   // the bed owns it
//   runProgram({UPDATER_BIN, "-N", "-s", chip.port()}, bed.childEnvironment(), 60s);
//   chip.jumpedTo();                          // where the host started the loader
#pragma once

#include "HidNode.h"
#include "SdpRom.h"
#include "UsbModule.h"

#include "ModuleSession.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sdpsim {
class HidFraming;
class SdpSimulator;
}  // namespace sdpsim

namespace usbbed {

class UsbBed;

// The program the chip runs once the host has jumped to it.
struct LiveLoaderOptions {
    std::uint32_t serial = 0xDEADDEAD;  // system entity and USB serial-number string
    std::uint8_t model = 4;             // system entity
    std::uint16_t product = 0;          // USB product ID; 0: the model
    std::uint16_t blockSize = 1024;
    std::string imageOut;               // flash dump (modsim's --image-out), empty for none
    std::uint32_t flashBase = 0;
    // From the jump until it is on the bus (its start and enumeration), and
    // from its REBOOT until it is back (the bed keeps the identity it has).
    std::uint32_t startMs = 200;
    std::uint32_t restartMs = 300;
};

struct ImxOptions {
    enum class Port { Hid, Uart };
    Port port = Port::Hid;
    // The chip's 128-bit identifier as option 39 gives it, sub-index 0 to 3.
    // The ROM's fuses hold the same words: 0x401F4410, 0x401F4420,
    // 0x401F4430, 0x401F4440.
    std::array<std::uint32_t, 4> uniqueId{0x0C0FFEE0, 0x1CEB00DA, 0x2BADF00D, 0x3DEFACED};
    // Security mode and faults of the ROM (silent, failWrites); its
    // identifier comes from uniqueId.
    sdpsim::RomConfig rom;
    unsigned baud = 0;  // UART pacing; 0: unpaced
    LiveLoaderOptions loader;
};

// The ROM as the HID stand-in presents it.
HidIdentity imxRomHidIdentity();

class ImxChip {
public:
    // Use UsbBed::addImx, which keeps the chip until the bed goes.
    ImxChip(UsbBed& bed, const ImxOptions& options);
    ~ImxChip();
    ImxChip(const ImxChip&) = delete;
    ImxChip& operator=(const ImxChip&) = delete;

    // What the host names the port with: "USB" for the HID presentation, the
    // pseudo-terminal's path for the UART.
    std::string port() const;
    // The address the host jumped to, once it did.
    std::optional<std::uint32_t> jumpedTo();
    sdpsim::RomStats romStats();
    // RAM as the ROM wrote it (bytes never written read 0).
    std::vector<std::uint8_t> ram(std::uint32_t address, std::size_t length);
    // Waits (up to timeout) for the live loader to be on the bus.
    bool waitForLiveLoader(std::chrono::milliseconds timeout);
    // The live loader's device on the bus, null before the jump.
    UsbModule* liveLoaderDevice();
    modsim::ModuleSession& liveLoader() { return *session_; }
    // The HID presentation's counters (zero for the UART).
    HidCounters hidCounters();

    // Stops the chip's threads; the bed calls it before it takes the bus down.
    void stop();

private:
    bool hidOutput(const std::uint8_t* report, std::size_t length);
    void jumped();
    void run();
    // Waits up to ms unless the chip is stopped; false when it was.
    bool pause(std::uint32_t ms);

    UsbBed& bed_;
    const ImxOptions options_;
    std::unique_ptr<modsim::ModuleSession> session_;
    // HID: the ROM, guarded by romMutex_. UART: the simulator holds its own.
    std::mutex romMutex_;
    std::unique_ptr<sdpsim::SdpRom> rom_;
    std::unique_ptr<sdpsim::HidFraming> framing_;
    std::unique_ptr<HidNode> hid_;
    std::unique_ptr<sdpsim::SdpSimulator> uart_;

    std::mutex mutex_;  // guards the three below
    std::condition_variable cv_;
    bool jumped_ = false;
    bool stop_ = false;
    UsbModule* device_ = nullptr;
    std::thread thread_;
};

}  // namespace usbbed
