#include "FaultInjector.h"

#include <cstdlib>

namespace modsim {

namespace {
bool number(const std::string& text, unsigned& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (*end != 0 || v > 0xFFFFFFFFul) return false;
    out = unsigned(v);
    return true;
}
bool hits(unsigned every, std::uint64_t n) { return every && n % every == 0; }
}  // namespace

bool parseFault(const std::string& item, FaultConfig& c) {
    if (item == "silent") {
        c.silent = true;
        return true;
    }
    const auto eq = item.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = item.substr(0, eq);
    unsigned v = 0;
    if (!number(item.substr(eq + 1), v)) return false;
    if (key == "drop") c.dropEvery = v;
    else if (key == "corrupt") c.corruptEvery = v;
    else if (key == "insert") c.insertEvery = v;
    else if (key == "delay") c.delayMs = v;
    else if (key == "silent-after") c.silentAfter = v;
    else if (key == "reset") c.resetEvery = v;
    else return false;
    return true;
}

void FaultInjector::submit(std::vector<std::uint8_t> bytes, std::uint64_t nowMs) {
    const std::uint64_t n = ++count_;
    if (config_.silent || (config_.silentAfter && n > config_.silentAfter)) {
        ++stats_.silenced;
        return;
    }
    if (hits(config_.dropEvery, n)) {
        ++stats_.dropped;
        return;
    }
    if (hits(config_.corruptEvery, n) && !bytes.empty()) {
        bytes[0] ^= 0x01;
        ++stats_.corrupted;
    }
    if (hits(config_.insertEvery, n)) {
        bytes.insert(bytes.begin(), 0x01);
        ++stats_.inserted;
    }
    held_.push_back(Held{nowMs + config_.delayMs, std::move(bytes), hits(config_.resetEvery, n)});
}

std::vector<std::uint8_t> FaultInjector::release(std::uint64_t nowMs) {
    std::vector<std::uint8_t> out;
    while (!held_.empty() && held_.front().dueMs <= nowMs && !reset_) {
        Held& h = held_.front();
        out.insert(out.end(), h.bytes.begin(), h.bytes.end());
        if (h.resetAfter) {
            reset_ = true;
            ++stats_.resets;
        }
        held_.pop_front();
    }
    return out;
}

bool FaultInjector::takeReset() {
    const bool r = reset_;
    reset_ = false;
    return r;
}

void FaultInjector::clear() {
    held_.clear();
    reset_ = false;
}

}  // namespace modsim
