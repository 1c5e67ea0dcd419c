#include "UpdateFaults.h"

#include <cstdlib>

namespace modsim {

namespace {

bool positive(const std::string& text, unsigned& out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v == 0) return false;
    out = unsigned(v);
    return true;
}

// "NAME", "NAME=TIMES", "NAME@AT", "NAME=TIMES@AT".
bool window(const std::string& item, const std::string& name, FaultWindow& out) {
    if (item.compare(0, name.size(), name) != 0) return false;
    std::string rest = item.substr(name.size());
    FaultWindow w{1, 1};
    const auto at = rest.find('@');
    if (at != std::string::npos) {
        if (!positive(rest.substr(at + 1), w.at)) return false;
        rest.resize(at);
    }
    if (!rest.empty()) {
        if (rest[0] != '=' || !positive(rest.substr(1), w.times)) return false;
    }
    out = w;
    return true;
}

// "NAME=MS" or "NAME=MS@AT": the AT-th request only.
bool late(const std::string& item, const std::string& name, LateAnswer& out) {
    if (item.compare(0, name.size() + 1, name + "=") != 0) return false;
    std::string rest = item.substr(name.size() + 1);
    LateAnswer l;
    l.window = FaultWindow{1, 1};
    const auto at = rest.find('@');
    if (at != std::string::npos) {
        if (!positive(rest.substr(at + 1), l.window.at)) return false;
        rest.resize(at);
    }
    unsigned ms = 0;
    if (!positive(rest, ms)) return false;
    l.ms = ms;
    out = l;
    return true;
}

}  // namespace

bool parseUpdateFault(const std::string& item, UpdateFaults& f) {
    UpdateFaults c = f;
    bool ok = false;
    if (item.rfind("vanish-exit=", 0) == 0) {
        ok = positive(item.substr(12), c.vanishAfterData);
        c.vanishExits = true;
    } else if (item.rfind("vanish=", 0) == 0) {
        ok = positive(item.substr(7), c.vanishAfterData);
        c.vanishExits = false;
    } else {
        ok = window(item, "short-data", c.shortData) || window(item, "bad-sum", c.badSum) ||
             window(item, "no-load-reply", c.noLoadReply) || window(item, "prepare-fail", c.prepareFail) ||
             window(item, "prepare-zero", c.prepareZero) || late(item, "late-write", c.lateWrite) ||
             late(item, "late-prepare", c.latePrepare) || late(item, "late-sum", c.lateSum) ||
             late(item, "late-data", c.lateData);
    }
    if (ok) f = c;
    return ok;
}

}  // namespace modsim
