#include "StoreSlots.h"

#include "VirtualModule.h"
#include "Wire.h"

#include <algorithm>

namespace modsim {

namespace {
constexpr std::uint8_t kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7, kClose = 8;
constexpr std::uint8_t kErrorBit = 0x80;
constexpr std::size_t kMaxChunk = 25;
constexpr std::size_t kMaxHandles = 4;
}  // namespace

StoreSlots::StoreSlots(VirtualModule& module) : module_(module) {
    const ModuleConfig& c = module_.config();
    stores_.assign(c.storeCount, std::vector<std::vector<std::uint8_t>>(c.slotsPerStore));
}

std::vector<std::uint8_t>* StoreSlots::slot(std::uint8_t store, std::uint8_t slot) {
    if (store >= stores_.size() || slot >= stores_[store].size()) return nullptr;
    return &stores_[store][slot];
}

void StoreSlots::reply(std::vector<std::uint8_t> data) {
    data.insert(data.begin(), kCmdSlot);
    module_.send(Packet{module_.config().address, std::move(data)});
}

void StoreSlots::handle(const Packet& p) {
    if (p.data.size() < 2) return;
    const std::uint8_t sub = p.data[1];
    if (sub >= kCapacity && sub <= kOpenWrite) return slotRequest(sub, p);
    if (sub >= kRead && sub <= kClose) return handleRequest(sub, p);
    const std::uint8_t echo = p.data.size() > 2 ? p.data[2] : 0;
    reply({std::uint8_t(sub | kErrorBit), echo, err::kUnimplemented});
}

void StoreSlots::slotRequest(std::uint8_t sub, const Packet& p) {
    const std::uint8_t store = p.data.size() > 2 ? p.data[2] : 0;
    const std::uint8_t number = p.data.size() > 3 ? p.data[3] : 0;
    auto fail = [&](std::uint8_t code) { reply({std::uint8_t(sub | kErrorBit), store, number, code}); };
    if (p.data.size() != 4) return fail(err::kParam);
    std::vector<std::uint8_t>* bytes = slot(store, number);
    if (!bytes) return fail(err::kIndexRange);
    std::vector<std::uint8_t> out{sub, store, number};
    if (sub == kCapacity || sub == kSize) {
        putBE16(out, sub == kCapacity ? module_.config().slotCapacity : std::uint16_t(bytes->size()));
        return reply(out);
    }
    for (const auto& h : handles_)
        if (h.second.store == store && h.second.slot == number && (h.second.write || sub == kOpenWrite))
            return fail(err::kBusy);
    if (handles_.size() >= kMaxHandles) return fail(err::kBusy);
    while (nextHandle_ == 0 || handles_.count(nextHandle_)) ++nextHandle_;
    const std::uint8_t handle = nextHandle_++;
    handles_[handle] = Handle{store, number, sub == kOpenWrite, 0};
    if (sub == kOpenWrite) bytes->clear();
    out.push_back(handle);
    reply(out);
}

void StoreSlots::handleRequest(std::uint8_t sub, const Packet& p) {
    const std::uint8_t handle = p.data.size() > 2 ? p.data[2] : 0;
    auto fail = [&](std::uint8_t code) { reply({std::uint8_t(sub | kErrorBit), handle, code}); };
    auto it = handles_.find(handle);
    if (p.data.size() < 3 || it == handles_.end()) return fail(err::kParam);
    Handle& h = it->second;
    std::vector<std::uint8_t>& bytes = stores_[h.store][h.slot];
    if (sub == kClose) {
        if (p.data.size() != 3) return fail(err::kParam);
        handles_.erase(it);
        return reply({kClose, handle, err::kNone});
    }
    if (sub == kRead) {
        if (p.data.size() != 3) return fail(err::kParam);
        if (h.write) return fail(err::kMode);
        const std::size_t n = std::min(kMaxChunk, bytes.size() - std::min(h.position, bytes.size()));
        std::vector<std::uint8_t> out{kRead, handle};
        out.insert(out.end(), bytes.begin() + long(h.position), bytes.begin() + long(h.position + n));
        h.position += n;
        return reply(out);
    }
    const std::size_t n = p.data.size() - 3;
    if (n > kMaxChunk) return fail(err::kParam);
    if (!h.write) return fail(err::kMode);
    if (h.position + n > module_.config().slotCapacity) return fail(err::kOverrun);
    if (bytes.size() < h.position + n) bytes.resize(h.position + n);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        bytes[h.position + i] = p.data[3 + i];
        sum = std::uint8_t(sum + p.data[3 + i]);
    }
    h.position += n;
    reply({kWrite, handle, sum});
}

}  // namespace modsim
