// The documents --json writes on standard output: one per run, the listing
// or the results of the command that ran, for scripts to read with a JSON
// parser instead of the column text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "Fleet.h"
#include "Updater.h"

// -D: one object per module.
std::string _json_device_list(const std::vector<DeviceInfo>& devices);
// -B (storeDir empty) and -L (each entry with its stored file's path).
std::string _json_builds(const BuildMap& builds, uint32_t serial, const std::string& storeDir);
// -J: the token is null when none came.
std::string _json_jwt(uint32_t serial, const std::string& token);
// -N: chip kind 1 = i.MX, 2 = LPC (null for any other); the words null when none were read.
std::string _json_fingerprint(uint8_t chipKind, const Fingerprint* fingerprint);
// -G and -U: one result per module.
std::string _json_results(const std::vector<FleetResult>& results);

// Writes the document and a newline to out in one piece.
void _print_json(FILE* out, const std::string& document);
