/* Display names of the module models. */
#include "aDefs.h"

#include <stddef.h>

typedef struct {
    uint8_t model;
    const char* name;
} sModelRow;

static const sModelRow sModels[] = {
    {aMODULE_TYPE_HUB4, "TS-Hub4"},
    {aMODULE_TYPE_IO16, "TS-IO16"},
    {aMODULE_TYPE_METER1, "TS-Meter1"},
    {aMODULE_TYPE_ROUTER, "TS-Router"},
    {aMODULE_TYPE_HUB8, "TS-Hub8"},
    {aMODULE_TYPE_SWITCH2, "TS-Switch2"},
    {aMODULE_TYPE_SWITCH4, "TS-Switch4"},
    {aMODULE_TYPE_HUB2, "TS-Hub2"},
    {aMODULE_TYPE_POWER2, "TS-Power2"},
    {aMODULE_TYPE_ANALOG8, "TS-Analog8"},
    {aMODULE_TYPE_RELAY4, "TS-Relay4"},
    {aMODULE_TYPE_SERIAL2, "TS-Serial2"},
    {aMODULE_TYPE_HUB3C, "TS-Hub3C"},
    {aMODULE_TYPE_SWITCH8, "TS-Switch8"},
    {aMODULE_TYPE_METER4, "TS-Meter4"},
    {aMODULE_TYPE_ROUTER_ETH, "TS-RouterNet"},
    {aMODULE_TYPE_HUB8C, "TS-Hub8C"},
};

const char* aDefs_GetModelName(uint8_t model)
{
    for (size_t i = 0; i < sizeof sModels / sizeof sModels[0]; i++)
        if (sModels[i].model == model)
            return sModels[i].name;
    return "Unknown";
}
