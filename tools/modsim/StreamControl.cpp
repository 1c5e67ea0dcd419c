#include "StreamControl.h"

#include "ModuleFirmware.h"
#include "SystemEntity.h"
#include "Uei.h"
#include "VirtualModule.h"
#include "Wire.h"

#include <algorithm>

namespace modsim {

namespace {
constexpr std::uint8_t kOptionEnable = 1, kOptionDisable = 2;
constexpr std::uint8_t kAny = 0xFF;
constexpr std::size_t kStreamChunk = 23;  // 4 header bytes + 23 + trailer = 28

bool fieldCovers(std::uint8_t by, std::uint8_t field) { return by == kAny || by == field; }

// Does key `by` cover key `k`? (The module byte never is a wildcard.)
bool covers(std::uint32_t by, std::uint32_t k) {
    return (by >> 24) == (k >> 24) && fieldCovers(std::uint8_t(by >> 16), std::uint8_t(k >> 16)) &&
           fieldCovers(std::uint8_t(by >> 8), std::uint8_t(k >> 8)) && fieldCovers(std::uint8_t(by), std::uint8_t(k));
}

unsigned widthOf(std::uint8_t type) {
    switch (type) {
    case 1: case 5: return 1;
    case 2: case 6: return 2;
    case 3: case 7: return 4;
    default: return 0;
    }
}
}  // namespace

StreamControl::StreamControl(VirtualModule& module, ModuleFirmware& firmware) : module_(module), firmware_(firmware) {}

void StreamControl::handle(const Packet& p) {
    UeiRequest r;
    if (!parseUei(p, r)) return;
    if (r.index != 0) return sendUeiError(module_, r, err::kInvalidEntity);
    if (r.get == r.set) return sendUeiError(module_, r, err::kParam);
    if (r.get) {
        if (r.option != kOptionEnable) return sendUeiError(module_, r, err::kInvalidOption);
        if (!r.value.empty()) return sendUeiError(module_, r, err::kParam);
        return sendUeiReply(module_, r, {std::uint8_t(streaming() ? 1 : 0)});
    }
    if (r.option != kOptionEnable && r.option != kOptionDisable) return sendUeiError(module_, r, err::kInvalidOption);
    if (r.value.size() != 4) return sendUeiError(module_, r, err::kParam);
    const std::uint32_t key = getBE32(r.value.data());
    if ((key >> 24) != module_.config().address) return sendUeiError(module_, r, err::kParam);
    if (r.option == kOptionEnable) {
        if (std::find(keys_.begin(), keys_.end(), key) == keys_.end()) keys_.push_back(key);
    } else {
        keys_.erase(std::remove_if(keys_.begin(), keys_.end(), [&](std::uint32_t k) { return covers(key, k); }),
                    keys_.end());
    }
    if (keys_.empty()) scheduled_ = false;
    sendUeiReply(module_, r, r.value);
}

void StreamControl::setRate(std::uint32_t hz) {
    module_.config().streamRateHz = hz;
    scheduled_ = false;
}

bool StreamControl::enabled(std::uint8_t command, std::uint8_t option, std::uint8_t index) const {
    const std::uint32_t k = std::uint32_t(module_.config().address) << 24 | std::uint32_t(command) << 16 |
                            std::uint32_t(option) << 8 | index;
    for (std::uint32_t by : keys_)
        if (covers(by, k)) return true;
    return false;
}

std::uint64_t StreamControl::dueUs(std::uint64_t n) const {
    return startUs_ + n * 1000000u / module_.config().streamRateHz;
}

void StreamControl::tick(std::uint64_t nowMs) {
    const std::uint32_t rate = module_.config().streamRateHz;
    if (keys_.empty() || rate == 0) return;
    const std::uint64_t nowUs = nowMs * 1000;
    if (!scheduled_) {
        startUs_ = nowUs;
        next_ = 0;
        scheduled_ = true;
    }
    // A module that could not keep up (a stalled host) skips what is more
    // than a tenth of a second late rather than bursting it out.
    const std::uint64_t maxRounds = rate / 10 + 1;
    std::uint64_t rounds = 0;
    while (dueUs(next_) <= nowUs) {
        if (rounds == maxRounds) {
            const std::uint64_t current = (nowUs - startUs_) * rate / 1000000u;
            skipped_ += current + 1 - next_;
            next_ = current + 1;
            break;
        }
        emit(dueUs(next_));
        ++next_;
        ++rounds;
    }
}

void StreamControl::emit(std::uint64_t dueUs) {
    const std::uint64_t bootUs = firmware_.system().bootMs() * 1000;
    const std::uint64_t ts = dueUs > bootUs ? dueUs - bootUs : 0;
    const std::uint8_t address = module_.config().address;
    for (const StreamSource& s : module_.config().streamSources) {
        if (!enabled(s.command, s.option, s.index)) continue;
        const std::uint8_t indexByte = std::uint8_t((s.index & kIndexMask) | kIndexStream);
        if (s.type == 4) {
            std::vector<std::uint8_t> bytes;
            if (!firmware_.readStreamBytes(s.command, s.option, s.index, bytes)) continue;
            std::size_t at = 0;
            std::uint8_t sequence = 0;
            do {
                const std::size_t n = std::min(kStreamChunk, bytes.size() - at);
                Packet p{address, {s.command, s.option, indexByte, 4}};
                p.data.insert(p.data.end(), bytes.begin() + long(at), bytes.begin() + long(at + n));
                at += n;
                p.data.push_back(std::uint8_t((at < bytes.size() ? 0x80 : 0) | (sequence++ & 0x7F)));
                module_.send(std::move(p));
            } while (at < bytes.size());
            ++samples_;
            continue;
        }
        const unsigned width = widthOf(s.type);
        if (width == 0) continue;
        const bool withSub = s.type >= 5;
        for (unsigned sub = 0; sub < (withSub ? std::max<unsigned>(s.subIndices, 1) : 1u); ++sub) {
            std::uint32_t value = 0;
            if (!firmware_.readStreamNumber(s.command, s.option, s.index, std::uint8_t(sub), value)) break;
            Packet p{address, {s.command, s.option, indexByte, s.type}};
            if (withSub) p.data.push_back(std::uint8_t(sub));
            putBE32(p.data, std::uint32_t(ts >> 32));
            putBE32(p.data, std::uint32_t(ts));
            const std::vector<std::uint8_t> v = widthValue(value, width);
            p.data.insert(p.data.end(), v.begin(), v.end());
            p.data.push_back(0);
            module_.send(std::move(p));
            ++samples_;
        }
    }
}

}  // namespace modsim

namespace modsim {

std::vector<StreamSource> defaultStreamSources() {
    return {
        {kCmdSystem, 29, 0, 1, 1},  // input power source
        {kCmdSystem, 3, 0, 2, 1},   // heartbeat interval
        {kCmdSystem, 27, 0, 3, 1},  // temperature
        {kCmdSystem, 22, 0, 3, 1},  // uptime
        {kCmdSystem, 12, 0, 3, 1},  // input voltage
        {kCmdSystem, 4, 0, 5, 2},   // LEDs
        {kCmdSystem, 42, 0, 6, 2},  // LED maximum brightness
        {kCmdSystem, 34, 0, 7, 4},  // power limit maximum per rail
        {kCmdSystem, 32, 0, 4, 1},  // name, as a byte series
    };
}

}  // namespace modsim
