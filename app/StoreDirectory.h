// Where the local store lives on this machine.
#pragma once

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// Completes params.storeDir to the "updater" directory (under -i's
// directory, or under ".tarvelin" in the home directory) and makes sure it
// exists. False, after reporting, when it cannot be found or made.
bool _prepare_store_directory(Parameters& params, UpdaterDisplayInterface& display);
