#include "UpdaterStoreFactory.h"

#include <stdexcept>

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* name)
{
    try {
        return std::make_unique<UpdaterStore>(storeDir);
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        name, e.what());
        return nullptr;
    }
}
