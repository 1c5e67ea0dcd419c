/* The trace switches and the one function that prints trace lines. */
#include "aLinkDebug.h"

#include <stdarg.h>
#include <stdio.h>

int aTessalumaDebuggingEnable = 0;
uint32_t aTessalumaDebuggingLevel = 0;

/* Stores both switches atomically, so worker threads may read them meanwhile. */
void aLinkDebug_Set(int enable, uint32_t level)
{
    __atomic_store_n(&aTessalumaDebuggingLevel, level, __ATOMIC_RELAXED);
    __atomic_store_n(&aTessalumaDebuggingEnable, enable, __ATOMIC_RELAXED);
}

/* Reads the switches atomically; the trace decision may be a moment stale. */
int aLinkDebug_On(uint32_t bit)
{
    if (!__atomic_load_n(&aTessalumaDebuggingEnable, __ATOMIC_RELAXED))
        return 0;
    return (__atomic_load_n(&aTessalumaDebuggingLevel, __ATOMIC_RELAXED) & bit) != 0;
}

/* Formats straight to standard output and flushes, so traces interleave in the
 * order threads print them even when output is a pipe. */
void aLinkDebug_Trace(uint32_t bit, const char* format, ...)
{
    if (!aLinkDebug_On(bit))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
