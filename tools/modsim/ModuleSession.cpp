#include "ModuleSession.h"

#include "ModuleFirmware.h"
#include "StreamControl.h"
#include "UpgradeLoader.h"

#include <chrono>

namespace modsim {

namespace {
constexpr int kIdlePollMs = 5;
constexpr int kStreamingPollMs = 1;
}  // namespace

std::uint64_t steadyMs() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

ModuleSession::ModuleSession(ModuleConfig config, Framing framing) : module_(std::move(config)), framing_(framing) {}

void ModuleSession::resetLine() {
    module_.hostDisconnected();
    module_.takeOutput();
    faults_.clear();
    decoder_ = FrameDecoder();
    injected_.clear();
    pendingRestart_.reset();
    dueRestart_.reset();
}

void ModuleSession::connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    resetLine();
}

void ModuleSession::disconnected() { connected(); }

void ModuleSession::input(const std::uint8_t* bytes, std::size_t length, std::uint64_t nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (framing_ == Framing::Raw) {
        module_.feed(bytes, length, nowMs);
        return;
    }
    for (std::size_t i = 0; i < length; ++i)
        if (auto wire = decoder_.push(bytes[i])) module_.feed(*wire, nowMs);
}

std::vector<std::uint8_t> ModuleSession::output(std::uint64_t nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    module_.tick(nowMs);
    for (const Packet& p : module_.takeOutput()) {
        if (framing_ == Framing::Raw) {
            faults_.submit(p.wire(), nowMs);
        } else if (p.data.size() > 27) {
            ++oversize_;  // does not fit a frame of the serial link
        } else {
            faults_.submit(frameEncode(p.wire()), nowMs);
        }
    }
    if (const std::optional<RestartRequest> r = module_.takeRestart()) pendingRestart_ = r;
    std::vector<std::uint8_t> out = faults_.release(nowMs);
    if (!injected_.empty()) {
        out.insert(out.end(), injected_.begin(), injected_.end());
        injected_.clear();
    }
    // The restart follows the reply that announced it (LOAD's), not before.
    if (pendingRestart_ && faults_.idle()) {
        dueRestart_ = pendingRestart_;
        pendingRestart_.reset();
    }
    return out;
}

bool ModuleSession::takeReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.takeReset();
}

std::optional<RestartRequest> ModuleSession::takeRestart() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<RestartRequest> r = dueRestart_;
    dueRestart_.reset();
    return r;
}

int ModuleSession::pollIntervalMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return module_.firmware().streams().streaming() ? kStreamingPollMs : kIdlePollMs;
}

void ModuleSession::setFaults(const FaultConfig& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.configure(faults);
}

void ModuleSession::setUpdateFaults(const UpdateFaults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    module_.config().updateFaults = faults;
}

void ModuleSession::setStreamRate(std::uint32_t hz) {
    std::lock_guard<std::mutex> lock(mutex_);
    module_.firmware().streams().setRate(hz);
}

ModuleStats ModuleSession::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return module_.stats();
}

FaultStats ModuleSession::faultStats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.stats();
}

unsigned ModuleSession::badFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return decoder_.badFrames();
}

unsigned ModuleSession::oversizeDropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return oversize_;
}

FlashImage ModuleSession::flash() {
    std::lock_guard<std::mutex> lock(mutex_);
    return module_.firmware().upgrade().flash();
}

ModuleConfig ModuleSession::liveConfig() {
    std::lock_guard<std::mutex> lock(mutex_);
    return module_.config();
}

void ModuleSession::pushPacket(Packet packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    module_.send(std::move(packet));
}

void ModuleSession::injectLine(const std::vector<std::uint8_t>& wireBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<std::uint8_t> line = framing_ == Framing::Raw ? wireBytes : frameEncode(wireBytes);
    injected_.insert(injected_.end(), line.begin(), line.end());
}

}  // namespace modsim
