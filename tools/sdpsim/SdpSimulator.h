// An i.MX RT in serial download mode on a pseudo-terminal (its UART).
#pragma once

#include "Framing.h"
#include "PacedPty.h"
#include "SdpRom.h"

#include <functional>
#include <string>

namespace sdpsim {

struct SimulatorOptions {
    RomConfig rom;
    unsigned baud = 0;  // 0: bytes move unpaced
    // The pause between a reply's security word and what follows it (0: none).
    uint32_t splitReplyUs = 0;
    // A pause before every byte of every reply (0: none).
    uint32_t replyByteGapUs = 0;
};

class SdpSimulator {
public:
    explicit SdpSimulator(const SimulatorOptions& options);
    ~SdpSimulator() { stop(); }

    bool start(std::string* error = nullptr) { return line_.start(error); }
    void stop() { line_.stop(); }
    const std::string& path() const { return line_.slavePath(); }

    // Runs f on the ROM under the line's lock.
    template <class F>
    auto with(F f)
    {
        std::lock_guard<std::mutex> hold(line_.lock());
        return f(static_cast<const SdpRom&>(rom_), static_cast<const UartFraming&>(uart_));
    }
    // Called on the line's thread, with the ROM locked, when it jumps to the loader.
    void onJump(std::function<void(uint32_t, const SdpRom&)> callback)
    {
        rom_.onJump([this, callback](uint32_t address) { callback(address, rom_); });
    }

private:
    SdpRom rom_;
    UartFraming uart_;
    simline::PacedPty line_;
};

}  // namespace sdpsim
