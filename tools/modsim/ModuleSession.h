// A virtual module as a transport sees it: line bytes in, line bytes out,
// with the line's framing (raw packets or stuffed frames) and the fault
// injector in between. Thread-safe: the transport's thread and the test or
// command line that steers it meet here.
#pragma once

#include "Cobs.h"
#include "FaultInjector.h"
#include "VirtualModule.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace modsim {

enum class Framing { Raw, Cobs };

std::uint64_t steadyMs();

class ModuleSession {
public:
    ModuleSession(ModuleConfig config, Framing framing);

    void connected();
    void disconnected();
    void input(const std::uint8_t* bytes, std::size_t length, std::uint64_t nowMs);
    // Advances the module's clock and returns what is due on the line.
    std::vector<std::uint8_t> output(std::uint64_t nowMs);
    bool takeReset();

    void setFaults(const FaultConfig& faults);
    ModuleStats stats();
    FaultStats faultStats();
    unsigned badFrames();
    unsigned oversizeDropped();
    // Runs f(VirtualModule&) under the session lock (handlers, inspection).
    template <typename F>
    auto withModule(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(module_);
    }

private:
    std::mutex mutex_;
    VirtualModule module_;
    Framing framing_;
    FrameDecoder decoder_;
    FaultInjector faults_;
    unsigned oversize_ = 0;
};

}  // namespace modsim
