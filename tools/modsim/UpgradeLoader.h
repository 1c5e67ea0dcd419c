// The upgrade protocol (command 95) as a module and its loader run it.
//
// While the module runs its firmware, PREPARE and DATA put loader blocks
// into RAM at the block's target address as they arrive (no WRITE). LOAD
// starts the loader; from then on the data of a piece (DATA packets, or one
// UEI byte-array set of option 10) waits in a buffer until WRITE puts it
// into the flash image at the block's target address plus the bytes the
// block already wrote. SUM answers the byte sum since the last PREPARE or
// WRITE. REBOOT restarts the module on its new firmware: when the flash
// holds an identity record the module adopts its build and version.
//
// Replies: INIT 95,0,load base; PREPARE 95,7,status,block size; DATA
// 95,1,count; SUM 95,7,status,sum; WRITE 95,7,status,length; LOAD 95,2;
// REBOOT none; UEI data 95,0xCA,index once the series is complete, or an
// error reply (aErrPacket for a series out of sequence, aErrInvalidOption
// when the UEI form is switched off). Statuses: aErrMode for WRITE before
// LOAD, aErrSize for a WRITE whose length is not the piece's or exceeds
// the block size, aErrParam for a malformed request, aErrBusy for an
// injected PREPARE failure.
#pragma once

#include "FlashImage.h"
#include "Packet.h"
#include "Uei.h"
#include "UpdateFaults.h"

#include <cstdint>
#include <string>
#include <vector>

namespace modsim {

class ModuleFirmware;
class VirtualModule;

struct UpgradeStats {
    unsigned inits = 0;
    unsigned prepares = 0;
    unsigned dataPackets = 0;  // DATA packets and UEI data packets
    unsigned ueiSeries = 0;    // complete UEI data sets
    unsigned sums = 0;
    unsigned writes = 0;
    unsigned loads = 0;
    unsigned reboots = 0;
    unsigned rejected = 0;     // requests answered with a non-zero status or an error
    unsigned dumpFailures = 0;
    bool vanished = false;
};

class UpgradeLoader {
public:
    enum class Mode { Firmware, Loader };

    UpgradeLoader(VirtualModule& module, ModuleFirmware& firmware);

    void handle(const Packet& packet);

    Mode mode() const { return mode_; }
    const FlashImage& flash() const { return flash_; }
    const FlashImage& ram() const { return ram_; }
    const UpgradeStats& stats() const { return stats_; }
    const std::string& lastDumpError() const { return dumpError_; }

private:
    void init();
    void prepare(const Packet& p);
    void data(const std::uint8_t* bytes, std::size_t n);
    void dataPacket(const Packet& p);
    void ueiData(const Packet& p);
    void sum();
    void write(const Packet& p);
    void load();
    void reboot();
    void status(std::uint8_t code, const std::vector<std::uint8_t>& value = {});
    void restart();
    void dumpImage();
    void countData();  // the module vanishes after the configured DATA packet
    void lateIf(const LateAnswer& fault, unsigned occurrence);

    VirtualModule& module_;
    ModuleFirmware& firmware_;
    Mode mode_ = Mode::Firmware;
    std::uint32_t target_ = 0;
    std::uint32_t blockOffset_ = 0;
    std::vector<std::uint8_t> piece_;
    std::uint32_t sum_ = 0;
    SeriesReceiver series_;
    FlashImage flash_;
    FlashImage ram_;
    UpgradeStats stats_;
    std::string dumpError_;
    unsigned sumRequests_ = 0;
    unsigned loadRequests_ = 0;
    unsigned writeRequests_ = 0;
    unsigned dataAcks_ = 0;
};

}  // namespace modsim
