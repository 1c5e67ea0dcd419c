// The modules on a router's I2C bus. Packets the host sends on the router's
// link to one of their addresses are handed to that module, and whatever it
// answers goes back on the router's link under its own address. They run
// the whole protocol on the router's clock; their restarts never drop the
// router's link (a module that vanishes for good just stops answering).
#pragma once

#include "ModuleConfig.h"
#include "Packet.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace modsim {

class VirtualModule;

class Router {
public:
    Router(VirtualModule& router, const ModuleConfig& base);
    ~Router();

    bool present(std::uint8_t address) const;
    void route(const Packet& packet);
    void tick(std::uint64_t nowMs);
    // The router's host left: the modules behind it see the same.
    void hostLeft();

    // The module at that address, or null.
    VirtualModule* module(std::uint8_t address);
    std::vector<std::uint8_t> addresses() const;
    unsigned routed() const { return routed_; }
    unsigned unroutable() const { return unroutable_; }

private:
    struct Member;
    Member* find(std::uint8_t address);
    const Member* find(std::uint8_t address) const;
    void forward(Member& member);

    VirtualModule& router_;
    std::vector<std::unique_ptr<Member>> members_;
    unsigned routed_ = 0;
    unsigned unroutable_ = 0;
};

// The configuration of a module behind the router: the router's behaviour
// settings with the module's own identity.
ModuleConfig behindConfig(const ModuleConfig& router, const BehindModule& module);

}  // namespace modsim
