// The two halves of writing a BIRD image into a running module with the
// upgrade protocol: the loader blocks, then the firmware blocks. Shared by the
// update and recovery flows.
#pragma once

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Sends the loader blocks and starts the loader; a start that times out
// counts as a loader that restarted without answering. *restarted (when
// given) tells whether the module left its link once the loader started
// (waiting up to a second for that), so that it has to be found again.
aErr _transfer_loader(UpdaterDisplayInterface& display, Tarvelin::Tessaluma::Module& module, const BirdFile& file,
                      bool* restarted = nullptr);
// An image with no loader blocks or no firmware blocks updates nothing: the
// error message to show, or null for an image that does.
const char* _image_updates_nothing(const BirdFile& file);
// Sends every firmware block (five attempts each) and reboots the module.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Tarvelin::Tessaluma::Module& module, const BirdFile& file,
                        bool viaRouter, bool useUeiBytes);
