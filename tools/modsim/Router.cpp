#include "Router.h"

#include "VirtualModule.h"

namespace modsim {

struct Router::Member {
    explicit Member(ModuleConfig config) : module(std::move(config)) {}
    VirtualModule module;
    bool gone = false;
};

ModuleConfig behindConfig(const ModuleConfig& router, const BehindModule& m) {
    ModuleConfig c = router;
    c.serial = m.serial;
    c.address = m.address;
    c.routerAddress = router.address;
    c.model = m.model;
    c.versionMajor = m.versionMajor;
    c.versionMinor = m.versionMinor;
    c.versionPatch = m.versionPatch;
    c.build = m.build;
    c.name = m.name;
    c.imageOut = m.imageOut;
    c.baseAddress = m.address;
    c.heartbeatMs = 0;  // the router keeps the link alive
    c.behind.clear();
    return c;
}

Router::Router(VirtualModule& router, const ModuleConfig& base) : router_(router) {
    for (const BehindModule& m : base.behind) members_.push_back(std::make_unique<Member>(behindConfig(base, m)));
}

Router::~Router() = default;

Router::Member* Router::find(std::uint8_t address) {
    for (auto& m : members_)
        if (m->module.config().address == address) return m.get();
    return nullptr;
}

const Router::Member* Router::find(std::uint8_t address) const {
    for (const auto& m : members_)
        if (m->module.config().address == address) return m.get();
    return nullptr;
}

bool Router::present(std::uint8_t address) const {
    const Member* m = find(address);
    return m && !m->gone;
}

VirtualModule* Router::module(std::uint8_t address) {
    Member* m = find(address);
    return m ? &m->module : nullptr;
}

std::vector<std::uint8_t> Router::addresses() const {
    std::vector<std::uint8_t> out;
    for (const auto& m : members_) out.push_back(m->module.config().address);
    return out;
}

void Router::route(const Packet& packet) {
    Member* m = find(packet.address);
    if (!m || m->gone) {
        ++unroutable_;
        return;
    }
    ++routed_;
    m->module.feed(packet.wire(), router_.nowMs());
    forward(*m);
}

void Router::tick(std::uint64_t nowMs) {
    for (auto& m : members_) {
        if (m->gone) continue;
        m->module.tick(nowMs);
        forward(*m);
    }
}

void Router::hostLeft() {
    for (auto& m : members_) {
        m->module.hostDisconnected();
        m->module.takeOutput();
    }
}

void Router::forward(Member& m) {
    for (Packet& p : m.module.takeOutput()) router_.send(std::move(p));
    const std::optional<RestartRequest> restart = m.module.takeRestart();
    if (!restart || !restart->forever) return;
    m.gone = true;
    // A module that ends the simulator takes the router's process with it.
    if (restart->exitProcess) router_.requestRestart(*restart);
}

}  // namespace modsim
