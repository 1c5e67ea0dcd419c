// The whole run of the program, from the command line to the exit code.
#pragma once

#include "CLI_Display.h"
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// Runs the commands that params asks for, in their fixed order: fingerprint,
// download, then the first of discover, update, list builds, list local
// builds and token. Returns the exit code: 0 on success, 1 on a failure.
int _run_commands(const Parameters& params, Updater& updater, CLI_Display& display);

// Refuses what the new options cannot do together (a list of devices for a
// command that takes one, --model without ALL, more than one document under
// --json), after saying why. True when the command line can run.
bool _check_combinations(const Parameters& params, UpdaterDisplayInterface& display);

// Parses the command line, shows usage or prepares the store, and runs the
// commands. Returns the process exit code.
int RunUpdater(int argc, char** argv);
