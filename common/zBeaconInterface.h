/* Guard for the process-wide network interface that CZMQ beacons bind to.
 * The setting is global to the library, so whoever creates a beacon for a
 * chosen interface sets it and holds this lock until the beacon exists (and,
 * for discovery, until the previous setting is put back).
 *
 * Accepted interface texts: a dotted IPv4 address, "" (the library's default
 * choice) or "*" (every interface). Anything else, an interface name
 * included, is refused without taking the lock. */
#ifndef TS_ZBEACONINTERFACE_H
#define TS_ZBEACONINTERFACE_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest interface text kept, terminator excluded. */
#define zBEACON_INTERFACE_MAX 63

/* True when text is one of the accepted forms. */
bool zBeaconInterface_isValid(const char* text);

/* Takes the lock and sets the interface. False (lock not taken) for a refused
 * text, or when the calling thread already holds the lock. */
bool zBeaconInterface_setAndLock(const char* text);
/* As setAndLock, first keeping the current setting as the backup. */
bool zBeaconInterface_backupSetAndLock(const char* text);
/* Puts the backup back and releases the lock; false when the caller does not
 * hold the lock (nothing is changed then). */
bool zBeaconInterface_restoreAndUnlock(void);
/* Releases the lock; false when the caller does not hold it. */
bool zBeaconInterface_unlock(void);

/* The current setting and the backup, as copies owned by the calling thread
 * (valid until its next call of these functions). The AndLock forms take the
 * lock first and return null when the caller already holds it. */
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);

#ifdef __cplusplus
}
#endif
#endif
