// Objects of the object layer opened on a simulated module of this process.
#pragma once

#include <arpa/inet.h>
#include <cstring>

#include "Link.h"
#include "ModsimHarness.h"
#include "Module.h"

namespace apitest {

using Tarvelin::Tessaluma::aEtherConfig;

// How the flows connect: no link server, no retry over the other family.
inline aEtherConfig Unshared()
{
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

// A router at linkmodsim::kAddress, streaming nothing unasked, with one
// module behind it at address 4.
inline modsim::ModuleConfig RouterWithModuleBehind()
{
    modsim::ModuleConfig config;
    config.streamRateHz = 0;
    modsim::BehindModule behind;
    behind.serial = 0x0000B001;
    behind.address = 4;
    config.behind.push_back(behind);
    return config;
}

inline linkSpec SpecOf(const linkmodsim::TcpModule& module, uint32_t serial = linkmodsim::kSerial)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = serial;
    spec.t.ip.ip_address = htonl(INADDR_LOOPBACK);
    spec.t.ip.ip_port = module.server.port();
    return spec;
}

inline linkSpec SpecOf(const linkmodsim::PtyModule& module, uint32_t serial = linkmodsim::kSerial)
{
    linkSpec spec{};
    spec.type = SERIAL;
    spec.serial_num = serial;
    spec.t.serial.baudrate = 115200;
    std::strncpy(spec.t.serial.port, module.server.slavePath().c_str(), sizeof spec.t.serial.port - 1);
    return spec;
}

}  // namespace apitest
