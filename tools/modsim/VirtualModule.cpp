#include "VirtualModule.h"

#include "ModuleFirmware.h"
#include "Wire.h"

#include <cstdio>

namespace modsim {

bool parseVersion(const std::string& text, ModuleConfig& config) {
    unsigned a = 0, b = 0, c = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3 || a > 255 || b > 255 || c > 255) return false;
    config.versionMajor = std::uint8_t(a);
    config.versionMinor = std::uint8_t(b);
    config.versionPatch = std::uint8_t(c);
    return true;
}

VirtualModule::VirtualModule(ModuleConfig config) : config_(std::move(config)) {
    if (config_.routerAddress == 0) config_.routerAddress = config_.address;
    firmware_ = std::make_unique<ModuleFirmware>(*this);
}

VirtualModule::~VirtualModule() = default;

std::optional<RestartRequest> VirtualModule::takeRestart() {
    std::optional<RestartRequest> r = restart_;
    restart_.reset();
    return r;
}

void VirtualModule::send(Packet packet) { out_.push_back(std::move(packet)); }

std::vector<Packet> VirtualModule::takeOutput() {
    std::vector<Packet> v(out_.begin(), out_.end());
    out_.clear();
    return v;
}

void VirtualModule::setHandler(std::uint8_t command, PacketHandler handler) {
    if (handler)
        handlers_[command] = std::move(handler);
    else
        handlers_.erase(command);
}

void VirtualModule::hostDisconnected() {
    partial_.clear();
    held_.clear();
    waiting_.clear();
    hostSeen_ = false;
    awaiting_ = false;
    nextIsDown_ = false;
    stats_.routeForced = false;
    firmware_->hostLeft();
}

// The module powers up at the first time it is given: uptime and stream
// timestamps count from there, whatever epoch the caller's clock has.
void VirtualModule::advanceClock(std::uint64_t nowMs) {
    nowMs_ = nowMs;
    if (!clockStarted_) {
        clockStarted_ = true;
        firmware_->restarted();
    }
}

void VirtualModule::feed(const std::uint8_t* bytes, std::size_t length, std::uint64_t nowMs) {
    advanceClock(nowMs);
    for (std::size_t i = 0; i < length; ++i) acceptByte(bytes[i], nowMs);
}

void VirtualModule::framingError() {
    ++stats_.framingErrors;
    partial_.clear();
}

// The same rules the host keeps: the first byte is a non-zero address, even for
// a module, one of the two odd control addresses from the host; the second a
// length of at most 28. A byte that breaks them drops what was assembled and
// assembly starts again with the next byte, so the host's run of sync requests
// always finds the module listening again.
void VirtualModule::acceptByte(std::uint8_t b, std::uint64_t nowMs) {
    if (!partial_.empty() && config_.interByteTimeoutMs && nowMs - lastByteMs_ > config_.interByteTimeoutMs) {
        ++stats_.staleDropped;
        partial_.clear();
    }
    lastByteMs_ = nowMs;
    if (partial_.empty()) {
        const bool control = b == kSyncAddress || b == kForceRouteAddress;
        if (b == 0 || ((b & 1) && !control)) return framingError();
        partial_.push_back(b);
        return;
    }
    if (partial_.size() == 1 && b > kMaxData) return framingError();
    partial_.push_back(b);
    if (partial_.size() == std::size_t(partial_[1]) + 2) {
        Packet p{partial_[0], std::vector<std::uint8_t>(partial_.begin() + 2, partial_.end())};
        partial_.clear();
        if (busy())
            waiting_.push_back(std::move(p));
        else
            dispatch(p, nowMs);
    }
}

void VirtualModule::runHandler(const PacketHandler& handler, const Packet& p, std::uint64_t nowMs) {
    const std::size_t before = out_.size();
    delayMs_ = 0;
    handler(*this, p);
    if (delayMs_ == 0) return;
    held_.assign(out_.begin() + long(before), out_.end());
    out_.resize(before);
    heldUntilMs_ = nowMs + delayMs_;
    delayMs_ = 0;
    if (held_.empty()) held_.push_back(Packet{0, {}});  // nothing to say, but busy all the same
}

void VirtualModule::finishBusyTime(std::uint64_t nowMs) {
    if (held_.empty() || nowMs < heldUntilMs_) return;
    for (Packet& p : held_)
        if (p.address != 0) out_.push_back(std::move(p));
    held_.clear();
    while (!waiting_.empty() && held_.empty()) {
        Packet p = std::move(waiting_.front());
        waiting_.pop_front();
        dispatch(p, nowMs);
    }
}

void VirtualModule::dispatch(const Packet& p, std::uint64_t nowMs) {
    if (p.address == kSyncAddress) {
        if (!p.data.empty()) return framingError();
        ++stats_.syncRequests;
        send(Packet{config_.address, {}});
    } else if (p.address == kForceRouteAddress) {
        if (p.data.size() != 1 || p.data[0] > 1) return framingError();
        if (p.data[0]) {
            ++stats_.forceRouteOn;
            stats_.routeForced = true;
        } else {
            ++stats_.forceRouteOff;
            stats_.routeForced = false;
        }
    } else if (p.address != config_.address) {
        ++stats_.packetsIn;
        ++stats_.foreignPackets;
        if (foreign_) foreign_(*this, p);
        return;
    } else if (p.data.size() == 2 && p.data[0] == 0) {
        handleHeartbeatAnswer(p.data[1]);
    } else if (!p.data.empty()) {
        auto it = handlers_.find(p.data[0]);
        if (it == handlers_.end()) {
            ++stats_.unhandled;
            if (fallback_) {
                PacketHandler h = fallback_;
                runHandler(h, p, nowMs);
            }
        } else {
            if (p.data[0] == kCmdDebug) ++stats_.echoes;
            // Copy: a handler may replace itself.
            PacketHandler h = it->second;
            runHandler(h, p, nowMs);
        }
    }
    ++stats_.packetsIn;
    if (!hostSeen_) {
        hostSeen_ = true;
        nextBeatMs_ = nowMs + config_.heartbeatMs;
    }
}

void VirtualModule::handleHeartbeatAnswer(std::uint8_t value) {
    if (awaiting_ && value == expected_) {
        ++stats_.heartbeatsAnswered;
        awaiting_ = false;
    } else {
        ++stats_.heartbeatsWrong;
    }
}

void VirtualModule::tick(std::uint64_t nowMs) {
    advanceClock(nowMs);
    finishBusyTime(nowMs);
    firmware_->tick(nowMs);
    if (awaiting_ && nowMs >= answerDeadlineMs_) {
        ++stats_.heartbeatsMissed;
        awaiting_ = false;
    }
    if (!hostSeen_ || config_.heartbeatMs == 0 || nowMs < nextBeatMs_) return;
    if (awaiting_) {
        ++stats_.heartbeatsMissed;
        awaiting_ = false;
    }
    const std::uint8_t kind = nextIsDown_ ? 1 : 0;
    nextIsDown_ = !nextIsDown_;
    send(Packet{config_.address, {0, kind}});
    ++stats_.heartbeatsSent;
    awaiting_ = true;
    expected_ = std::uint8_t(kind + 2);
    answerDeadlineMs_ = nowMs + (config_.heartbeatTimeoutMs ? config_.heartbeatTimeoutMs : config_.heartbeatMs);
    nextBeatMs_ += config_.heartbeatMs;
    if (nextBeatMs_ <= nowMs) nextBeatMs_ = nowMs + config_.heartbeatMs;  // clock jumped
}

}  // namespace modsim
