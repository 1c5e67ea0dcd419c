// The two halves of writing a BIRD image into a running module with the
// upgrade protocol: the loader blocks, then the firmware blocks. Shared by the
// update and recovery flows.
#pragma once

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Sends the loader blocks and starts the loader; a start that times out
// counts as a loader that restarted without answering.
aErr _transfer_loader(UpdaterDisplayInterface& display, Tarvelin::Tessaluma::Module& module, const BirdFile& file);
// Sends every firmware block (five attempts each) and reboots the module.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Tarvelin::Tessaluma::Module& module, const BirdFile& file,
                        bool viaRouter, bool useUeiBytes);
