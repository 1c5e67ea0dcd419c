// What the command line prints after a command: the version line and the
// listings of devices, builds, fingerprints and tokens, all at information
// level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

// The program name and version.
void _display_app_version(UpdaterDisplayInterface& display);

// The discovered devices under a heading for the transport searched.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);

// The builds of one device, newest version first.
void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serial);

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
