#include "ModuleSession.h"

#include <chrono>

namespace modsim {

std::uint64_t steadyMs() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

ModuleSession::ModuleSession(ModuleConfig config, Framing framing) : module_(std::move(config)), framing_(framing) {}

void ModuleSession::connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    module_.hostDisconnected();
    module_.takeOutput();
    faults_.clear();
    decoder_ = FrameDecoder();
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
    return faults_.release(nowMs);
}

bool ModuleSession::takeReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.takeReset();
}

void ModuleSession::setFaults(const FaultConfig& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.configure(faults);
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

}  // namespace modsim
