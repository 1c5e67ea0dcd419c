// What every flow does to prepare, open and ask a module: the network
// configuration it connects with, its build, version, addresses and name, and
// the transport a serial number is found on.
#pragma once

#include <cstdint>

#include "DeviceInfo.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aLinkSpec.h"

// Every Module of the flows connects unshared and without the retry over the
// other transport family. Shows "Failed to SET network configuration" on failure.
aErr _disableEther(Tarvelin::Tessaluma::Module& module, UpdaterDisplayInterface& display);
// The build the module runs, 0 when it does not say.
uint32_t _get_build_number(Tarvelin::Tessaluma::Module& module);
// Version, then the module's own and its router's addresses into info; the
// first failing read ends it.
aErr _get_version(Tarvelin::Tessaluma::Module& module, DeviceInfo& info);
// The module's name, from firmware 2.10.4 on (earlier: nothing, success).
aErr _get_device_name(Tarvelin::Tessaluma::Module& module, DeviceInfo& info);
// The link type (USB first, then TCP/IP) that finds serial; 0 when neither does.
linkType _discover_link_type(uint32_t serial);
// The interface every flow discovers on: 127.0.0.1 (any), network byte order.
uint32_t _discovery_interface();
