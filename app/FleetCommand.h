// -G and -U for several modules at once, or for a script (--json).
#pragma once

#include <string>

#include "CLI_Display.h"
#include "Parameters.h"
#include "Updater.h"

// Downloads (-G) and/or updates (-U) every module -d names (a list or ALL),
// prints the summary when there are several and the document under --json.
// buildText is -b's. Returns the exit code: 0 only when every module was done.
int _run_fleet(const Parameters& params, const std::string& buildText, Updater& updater, CLI_Display& display);

// True when name is a model's display name, as -D shows it.
bool _known_model_name(const std::string& name);
