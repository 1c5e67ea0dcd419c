// An LPC17xx in ISP mode on a pseudo-terminal: the boot ROM behind a paced
// line, with an optional flash dump that follows every erase and copy.
#pragma once

#include "IspRom.h"
#include "PacedPty.h"

#include <functional>
#include <string>

namespace lpcsim {

struct SimulatorOptions {
    RomConfig rom;
    unsigned baud = 0;     // 0: bytes move unpaced
    std::string flashOut;  // whole-flash dump, rewritten after each erase and copy
};

class LpcSimulator {
public:
    explicit LpcSimulator(const SimulatorOptions& options);
    ~LpcSimulator() { stop(); }

    bool start(std::string* error = nullptr);
    void stop() { line_.stop(); }
    const std::string& path() const { return line_.slavePath(); }

    // Runs f on the ROM under the line's lock.
    template <class F>
    auto with(F f)
    {
        std::lock_guard<std::mutex> hold(line_.lock());
        return f(static_cast<const IspRom&>(rom_));
    }
    // Called on the line's thread when the host starts code with G, with
    // whether the boot ROM would start that code after a reset.
    void onGo(std::function<void(uint32_t, bool)> callback) { rom_.onGo(std::move(callback)); }
    // The last flash-dump failure, empty while there is none.
    std::string dumpError();

private:
    SimulatorOptions options_;
    IspRom rom_;
    simline::PacedPty line_;
    std::string dumpError_;
};

}  // namespace lpcsim
