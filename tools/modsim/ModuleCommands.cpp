#include "ModuleCommands.h"

#include "VirtualModule.h"

namespace modsim {

namespace {

void echo(VirtualModule& m, const Packet& p) {
    m.send(Packet{m.config().address, p.data});
}

void query(VirtualModule& m, const Packet& p) {
    if (p.data.size() == 2 && p.data[1] == 0xFF) {
        const std::uint32_t b = m.config().build;
        m.send(Packet{m.config().address,
                      {kCmdQuery, 0xFF, std::uint8_t(b >> 24), std::uint8_t(b >> 16), std::uint8_t(b >> 8), std::uint8_t(b)}});
    }
}

void systemEntity(VirtualModule& m, const Packet& p) {
    if (p.data.size() < 3) return;
    const std::uint8_t option = p.data[1];
    const std::uint8_t index = p.data[2] & 0x1F;
    if (option == (0x40 | kSystemOptionModel) && index == 0) {
        m.send(Packet{m.config().address, {kCmdSystem, kSystemOptionModel, index, m.config().model}});
        return;
    }
    // Anything else of this entity is not implemented yet: error reply.
    m.send(Packet{m.config().address, {kCmdSystem, option, std::uint8_t(index | 0x80), kErrInvalidOption}});
}

}  // namespace

void installStandardCommands(VirtualModule& module) {
    module.setHandler(kCmdDebug, echo);
    module.setHandler(kCmdQuery, query);
    module.setHandler(kCmdSystem, systemEntity);
}

}  // namespace modsim
