/* Wall-clock milliseconds and sleeping. */
#ifndef TS_ATIME_H
#define TS_ATIME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds since the epoch; 0 when the clock cannot be read. Never all ones
 * (the value -1), which callers may use as "no time". */
uint64_t aTime_GetMSTicks(void);
/* Sleeps ms milliseconds (signals do not cut it short); 0 returns at once. */
void aTime_MSSleep(unsigned long ms);

#ifdef __cplusplus
}
#endif
#endif
