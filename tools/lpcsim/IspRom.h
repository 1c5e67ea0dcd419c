// The LPC17xx boot ROM's ISP command handler, without a transport: bytes from
// the host go in with feed(), what the ROM sends back comes out of
// takeOutput(). Autobaud ("?", "Synchronized", the crystal frequency), echo,
// unlock, prepare, erase, blank check, RAM writes and reads in uuencoded
// lines with a checksum every 20 lines, copy to flash, compare, go, part
// number, boot code version and the device serial number.
//
// Like the silicon: erases and copies take their time before their status
// line; the rate the autobaud measured stays locked, and bytes at another
// rate turn to garbage both ways; the state lasts as long as the chip, across
// hosts opening and closing the port.
#pragma once

#include "LpcMemory.h"
#include "PacedPty.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lpcsim {

// Faults, each counted from 1 over the whole session; 0 leaves it off.
struct Faults {
    unsigned resendAt = 0;         // the N-th write checksum is answered RESEND, whatever it was ...
    unsigned resendTimes = 1;      // ... and so are the ones after it, this many in all
    unsigned readBadSumAt = 0;     // the N-th checksum of a read is sent wrong once
    unsigned silenceAfterLines = 0;  // after the N-th line received the ROM answers nothing any more
    unsigned dropByteAt = 0;       // the N-th byte received is lost on the line
    unsigned copyFailAt = 0;       // the N-th copy to flash is answered BUSY once, nothing programmed
};

struct RomConfig {
    uint32_t partId = 0x26013F37;  // LPC1768
    uint8_t bootMajor = 4;
    uint8_t bootMinor = 1;
    uint32_t uid[4] = {0x0C0FFEE0, 0x1A2B3C4D, 0x5E6F7081, 0x92A3B4C5};
    // Data-sheet figures: an erase takes about 100 ms a sector, programming
    // about 1 ms per 256 bytes; the status line comes when the work is done.
    uint32_t eraseUsPerSector = 100000;
    uint32_t copyUsPer256 = 1000;
    Faults faults;
};

struct RomStats {
    unsigned syncs = 0;
    unsigned commands = 0;
    unsigned dataLinesIn = 0;       // uuencoded lines received by W
    unsigned writeChecksums = 0;    // checksums received by W
    unsigned resendsSent = 0;       // RESEND answers to W checksums
    unsigned readResendsReceived = 0;
    unsigned copies = 0;
    unsigned erases = 0;
    unsigned refusedCopies = 0;
    unsigned failedCopies = 0;
    unsigned droppedBytes = 0;
    unsigned garbledBytes = 0;      // received at a rate other than the one locked at autobaud
    unsigned rejectedLines = 0;     // W data lines longer than 45 bytes or not as long as they say
    std::vector<uint32_t> writeLengths;  // byte counts of the W commands accepted
    std::vector<uint32_t> copyLengths;   // byte counts of the C commands accepted
    uint32_t crystalKHz = 0;
    bool silent = false;
    uint32_t lockedRate = 0;        // measured at the last autobaud (0: the host's port had none set)
    std::optional<uint32_t> jumpedTo;
    // At the jump: whether the vector table would let the boot ROM start the
    // user code after a reset (words 0 to 7 sum to zero).
    std::optional<bool> userCodeValid;
};

class IspRom {
public:
    explicit IspRom(const RomConfig& config = {});

    // Bytes as they came over the line, with the rate the host's port was set
    // to (0: none set, taken as the locked rate).
    void feed(const uint8_t* bytes, std::size_t length, unsigned lineRate = 0);
    // What the ROM sends back, with the pauses its work takes.
    simline::Reply takeOutput();

    // Called from feed() when a G command starts code, with whether the
    // vector table is one the boot ROM would start; set before use.
    void onGo(std::function<void(uint32_t, bool)> callback) { onGo_ = std::move(callback); }
    // Called from feed() after an erase or a copy changed the flash.
    void onFlashChanged(std::function<void()> callback) { onFlashChanged_ = std::move(callback); }

    const LpcMemory& memory() const { return memory_; }
    const RomStats& stats() const { return stats_; }
    bool echo() const { return echo_; }
    bool unlocked() const { return unlocked_; }

private:
    enum class State { Autobaud, SyncString, Crystal, Command, WriteData, ReadAck, Running };

    void byte(uint8_t b);
    void line(const std::string& text);
    void command(const std::string& text);
    void writeDataLine(const std::string& text);
    void readAck(const std::string& text);
    void sendReadBlock();
    void say(const std::string& text);
    // The chip works for us microseconds before it sends anything more.
    void busy(uint32_t us);
    void status(int code) { say(std::to_string(code) + "\r\n"); }
    int sectorCheck(const std::vector<uint32_t>& args) const;
    void flashChanged();

    // The commands, each answering with its status (and data) itself.
    void cmdWrite(const std::vector<uint32_t>& a);
    void cmdRead(const std::vector<uint32_t>& a);
    void cmdPrepare(const std::vector<uint32_t>& a);
    void cmdErase(const std::vector<uint32_t>& a);
    void cmdBlankCheck(const std::vector<uint32_t>& a);
    void cmdCopy(const std::vector<uint32_t>& a);
    void cmdCompare(const std::vector<uint32_t>& a);
    void cmdGo(const std::vector<std::string>& words);

    RomConfig config_;
    LpcMemory memory_;
    RomStats stats_;
    State state_ = State::Autobaud;
    bool echo_ = true;
    bool unlocked_ = false;
    std::string pending_;  // the line being received
    simline::Reply output_;
    bool garbling_ = false;  // the bytes being fed came at a rate other than the locked one
    bool blockSpoiled_ = false;  // a W data line of the current block was not a valid line
    unsigned bytesIn_ = 0;
    unsigned linesIn_ = 0;
    unsigned readChecksumsSent_ = 0;
    unsigned copyRequests_ = 0;
    unsigned lineRate_ = 0;  // of the bytes being fed

    // A transfer in progress (W or R).
    uint32_t base_ = 0;
    uint32_t count_ = 0;
    uint32_t confirmed_ = 0;
    uint32_t position_ = 0;
    uint32_t blockSum_ = 0;
    unsigned blockLines_ = 0;

    std::function<void(uint32_t, bool)> onGo_;
    std::function<void()> onFlashChanged_;
};

}  // namespace lpcsim
