// A USB bus behind the libusb table of the USB back end: devices with their
// descriptors, and scripted bulk transfer results per endpoint direction.
#pragma once

#include "aUSB.h"
#include "aUSBSeam.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fakeusb {

struct Endpoint {
    std::uint8_t address;
    std::uint8_t attributes;  // 2 bulk, 3 interrupt, 0 control
    int maxPacket;
};

struct AltSetting {
    std::uint8_t number;  // bInterfaceNumber
    std::uint8_t cls, subclass, protocol;
    std::vector<Endpoint> endpoints;
};

struct Device {
    std::uint16_t vendor = TESSALUMA_USB_VENDOR_ID;
    std::uint16_t product = 0x0001;
    std::string serial = "0000ABCD";
    // One inner vector per interface, listing its alternate settings.
    std::vector<std::vector<AltSetting>> interfaces;
    int claimResult = LIBUSB_SUCCESS;

    int opens = 0;
    int closes = 0;
    int claimed = -1;
    int released = -1;
};

// One scripted transfer: the libusb result and how many bytes moved (OUT:
// bytes accepted, -1 = all; IN: the bytes delivered).
struct Transfer {
    int result = LIBUSB_SUCCESS;
    int accepted = -1;
    std::vector<std::uint8_t> data;
};

struct Bus {
    // Guards the transfer side: a link reads and writes from two threads.
    std::mutex lock;
    int idleInMs = 0;  // how long an unscripted IN transfer takes to time out
    std::vector<std::unique_ptr<Device>> devices;
    std::deque<Transfer> outScript;
    std::deque<Transfer> inScript;
    std::vector<std::vector<std::uint8_t>> outChunks;  // accepted bytes per OUT call
    std::vector<int> outRequested;                     // length asked of each OUT call
    std::vector<std::uint8_t> outEndpoints;
    std::vector<std::uint8_t> inEndpoints;
    std::vector<std::uint8_t> clearedHalts;
    int clearHaltResult = LIBUSB_SUCCESS;
    int outCalls = 0;
    int inCalls = 0;
    int inits = 0;
    int exits = 0;
    int listsTaken = 0;
    int listsFreed = 0;
    int openHandles = 0;
    int usesAfterExit = 0;  // calls made while every context had ended

    // A device that is a module with the standard vendor interface.
    Device& addModule(const std::string& serial, int outMax = 64, int inMax = 64);
    std::vector<std::uint8_t> written() const;
};

// Installs bus behind the back end; removed (real libusb back) on destruction.
class Installed {
public:
    explicit Installed(Bus& bus);
    ~Installed();
};

}  // namespace fakeusb
