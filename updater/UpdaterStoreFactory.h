// Opens the local store for one operation of the Updater.
#pragma once

#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"

// The store on storeDir, or an empty pointer after showing the error
// "Failed to Create UpdaterStore in: <name> - Exception: <reason>".
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* name);
