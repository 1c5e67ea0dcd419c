/* The link core's two process-wide trace switches. Both start off. With the
 * switch on, each set bit of the level prints its trace lines to standard
 * output: 1 link lifecycle and sync steps, 2 every packet written or queued and
 * every heartbeat, 4 failures to create a server. Change them with
 * aLinkDebug_Set while links run; plain stores are fine before any link starts. */
#ifndef TS_ALINKDEBUG_H
#define TS_ALINKDEBUG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define aLINK_TRACE_LIFECYCLE 1u
#define aLINK_TRACE_PACKETS 2u
#define aLINK_TRACE_SERVER 4u

extern int aTessalumaDebuggingEnable;
extern uint32_t aTessalumaDebuggingLevel;

/* Sets both switches so that running link threads see the change safely. */
void aLinkDebug_Set(int enable, uint32_t level);
/* True when trace lines of the given level bit are to be printed. */
int aLinkDebug_On(uint32_t bit);
/* Prints one trace line (printf format) and flushes, when the bit is on. */
void aLinkDebug_Trace(uint32_t bit, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif
#endif
