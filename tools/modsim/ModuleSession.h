// A virtual module as a transport sees it: line bytes in, line bytes out,
// with the line's framing (raw packets or stuffed frames) and the fault
// injector in between. Thread-safe: the transport's thread and the test or
// command line that steers it meet here.
#pragma once

#include "Cobs.h"
#include "FaultInjector.h"
#include "FlashImage.h"
#include "VirtualModule.h"

#include <cstdint>
#include <mutex>
#include <optional>
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
    // Once the bytes before it have left through output(): the module
    // restarted and the transport is to drop the host and pause.
    std::optional<RestartRequest> takeRestart();
    // How long the transport may sleep before calling output() again.
    int pollIntervalMs();

    void setFaults(const FaultConfig& faults);
    void setUpdateFaults(const UpdateFaults& faults);
    void setStreamRate(std::uint32_t hz);
    ModuleStats stats();
    FaultStats faultStats();
    unsigned badFrames();
    unsigned oversizeDropped();
    // Copies of the module's flash and live configuration (identity after
    // an upgrade, name...).
    FlashImage flash();
    ModuleConfig liveConfig();

    // Test hooks: a packet to the host as if the module sent it (it goes
    // through the faults and the framing), or bytes put on the line exactly
    // as given (framed only on a stuffed line), e.g. a malformed packet.
    void pushPacket(Packet packet);
    void injectLine(const std::vector<std::uint8_t>& wireBytes);

    // Runs f(VirtualModule&) under the session lock (handlers, inspection).
    template <typename F>
    auto withModule(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(module_);
    }

private:
    void resetLine();

    std::mutex mutex_;
    VirtualModule module_;
    Framing framing_;
    FrameDecoder decoder_;
    FaultInjector faults_;
    unsigned oversize_ = 0;
    std::vector<std::uint8_t> injected_;
    std::optional<RestartRequest> pendingRestart_;  // waits for held output
    std::optional<RestartRequest> dueRestart_;
};

}  // namespace modsim
