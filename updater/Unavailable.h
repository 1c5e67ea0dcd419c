// How an operation that this build does not carry reports itself.
#pragma once

#include "UpdaterDisplayInterface.h"

// Shows "<operation> is not available in this build" at error level.
inline void _report_unavailable(UpdaterDisplayInterface& display, const char* operation)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build", operation);
}
