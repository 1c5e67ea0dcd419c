// One instrument module: it owns a Link, knows the module's link address and
// connects by serial number, by link specifier or through a routing module
// that already holds a link. It also asks the module about itself (build,
// supported entities) and runs the echo test. Every operation returns an aErr.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Link.h"

namespace Tarvelin {
namespace Tessaluma {

class Module {
public:
    // Networking mode on: every successful connect adopts the address the
    // module reports for itself.
    Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool autoNetworking, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    aErr connect(linkType type, uint32_t serial);
    aErr discoverAndConnect(linkType type, uint32_t serial);
    aErr connectFromSpec(const linkSpec& spec);
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected();
    int getStatus();

    uint8_t getModuleAddress() const { return m_address; }
    void setModuleAddress(uint8_t address) { m_address = address; }
    void setNetworkingMode(bool on) { m_networking = on; }
    aErr getLinkSpecifier(linkSpec* spec);
    aErr getConfig(aEtherConfig* config);
    aErr setConfig(const aEtherConfig& config);
    Link* getLink() { return m_link; }

    // Module queries.
    aErr getBuild(uint32_t* build);
    // 0 when the module takes (command, option, index) with the get (0x40) or
    // set (0x80) flag; else the module's answer.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t subclass, uint8_t* count);

    // Echo test: the module must send the bytes back unchanged.
    aErr debug(const uint8_t* data, uint8_t size);

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

private:
    aErr _autoNetwork();
    aErr learnAddressOrClose();

    Link* m_link;
    uint8_t m_address;
    bool m_networking;
    uint8_t m_model;
};

}  // namespace Tessaluma
}  // namespace Tarvelin
