/* Module model codes and their display names. */
#ifndef TS_ADEFS_H
#define TS_ADEFS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    aMODULE_TYPE_UNKNOWN = 0,
    aMODULE_TYPE_HUB4 = 4,         /* four-port USB hub */
    aMODULE_TYPE_IO16 = 5,         /* sixteen-channel digital I/O */
    aMODULE_TYPE_METER1 = 13,      /* single-channel voltage/current meter */
    aMODULE_TYPE_ROUTER = 14,      /* I2C routing module */
    aMODULE_TYPE_HUB8 = 15,        /* eight-port USB hub */
    aMODULE_TYPE_SWITCH2 = 16,     /* two-way USB switch */
    aMODULE_TYPE_SWITCH4 = 17,     /* four-way USB switch */
    aMODULE_TYPE_HUB2 = 18,        /* two-port USB hub */
    aMODULE_TYPE_POWER2 = 19,      /* two-rail power monitor */
    aMODULE_TYPE_ANALOG8 = 20,     /* eight-channel analog I/O */
    aMODULE_TYPE_RELAY4 = 21,      /* four-relay output */
    aMODULE_TYPE_SERIAL2 = 22,     /* two-port serial bridge */
    aMODULE_TYPE_HUB3C = 23,       /* three-port type-C hub */
    aMODULE_TYPE_SWITCH8 = 24,     /* eight-way USB switch */
    aMODULE_TYPE_METER4 = 25,      /* four-channel meter */
    aMODULE_TYPE_ROUTER_ETH = 26,  /* routing module with a network port */
    aMODULE_TYPE_HUB8C = 27        /* eight-port type-C hub */
};

/* The display name of a model code, "Unknown" for a code outside the family;
 * never null. */
const char* aDefs_GetModelName(uint8_t model);

#ifdef __cplusplus
}
#endif
#endif
