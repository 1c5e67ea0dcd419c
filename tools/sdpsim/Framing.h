// The two ways the ROM's commands and replies travel. On a UART: an optional
// association handshake (23 45 45 23, echoed), 16-byte commands, payload
// bytes as they are, replies as their bytes. Over USB HID: output report 1
// (a command) and 2 (payload), input report 3 (the security-mode word) and 4
// (status or data, 64 bytes each).
#pragma once

#include "PacedPty.h"
#include "SdpRom.h"

#include <string>
#include <vector>

namespace sdpsim {

class UartFraming {
public:
    // What the started loader prints on the UART, as any program with a
    // console on that port does (a host waiting after the jump reads it).
    static constexpr const char* kLoaderBanner = "loader running\r\n";

    // splitUs: the pause between a reply's security word and the status or
    // data after it, as a ROM busy between the two gives (0: none), so that a
    // host reading them sees them arrive apart. byteGapUs: a pause before
    // every byte of a reply, as a USB serial adapter that hands each byte
    // over on its own timer gives (0: none).
    explicit UartFraming(SdpRom& rom, uint32_t splitUs = 0, uint32_t byteGapUs = 0)
        : rom_(rom), splitUs_(splitUs), byteGapUs_(byteGapUs)
    {
    }
    // Bytes from the line; appends what the ROM sends back.
    void feed(const uint8_t* bytes, std::size_t length, simline::Reply& out);
    unsigned associations() const { return associations_; }

private:
    SdpRom& rom_;
    const uint32_t splitUs_;
    const uint32_t byteGapUs_;
    std::vector<uint8_t> command_;
    unsigned associations_ = 0;
    bool bannerSent_ = false;
};

class HidFraming {
public:
    static constexpr std::size_t kStatusReportData = 64;
    explicit HidFraming(SdpRom& rom) : rom_(rom) {}
    // One output report, id first. False when the id or size is not one the ROM takes.
    bool outputReport(const uint8_t* report, std::size_t length);
    // The input reports the ROM has for the host, id first, oldest first.
    std::vector<std::vector<uint8_t>> takeInputReports();

private:
    SdpRom& rom_;
};

}  // namespace sdpsim
