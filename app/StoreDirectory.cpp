#include "StoreDirectory.h"

#include "Log.h"
#include "aDirectory.h"

bool _prepare_store_directory(Parameters& params, UpdaterDisplayInterface& display)
{
    if (params.storeDir.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", int(err));
            return false;
        }
        params.storeDir = BuildPath(home, ".tarvelin", nullptr);
    }
    params.storeDir = BuildPath(params.storeDir.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(params.storeDir.c_str(), 0755) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s",
                        params.storeDir.c_str());
        return false;
    }
    return true;
}
