/* Version packing and the library's version and features. */
#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define sSTR(x) #x
#define sXSTR(x) sSTR(x)
#define aVERSION_PHASE "."

typedef struct {
    const char* name;
    const char* description;
} sFeature;

static const sFeature sFeatures[] = {
    {"VERSION", "Version Query API"},
};
#define sFEATURE_COUNT (sizeof sFeatures / sizeof sFeatures[0])
#define sFEATURE_SEPARATOR " - "

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major > 2 || (major == 2 && minor > 14))
        return aVERSION_CURRENT_TAG | (uint32_t)major << 16 | (uint32_t)minor << 8 | patch;
    return (uint32_t)major << 28 | (uint32_t)(minor & 0xF) << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version)
{
    uint32_t major = version >> 28;
    uint32_t minor = (version >> 24) & 0xF;
    return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t version)
{
    return aVersion_IsLegacyFormat(version) ? (uint8_t)(version >> 28) : (uint8_t)(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version)
{
    return aVersion_IsLegacyFormat(version) ? (uint8_t)((version >> 24) & 0xF)
                                            : (uint8_t)(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version)
{
    return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    return snprintf(buffer, size, "%u.%u.%u", (unsigned)aVersion_ParseMajor(version),
                    (unsigned)aVersion_ParseMinor(version), (unsigned)aVersion_ParsePatch(version));
}

uint8_t aVersion_GetMajor(void)
{
    return aVERSION_MAJOR;
}

uint8_t aVersion_GetMinor(void)
{
    return aVERSION_MINOR;
}

uint8_t aVersion_GetPatch(void)
{
    return aVERSION_PATCH;
}

/* Built by the compiler, so there is nothing to initialise and no race on first use. */
const char* aVersion_GetString(void)
{
    return sXSTR(aVERSION_MAJOR) "." sXSTR(aVERSION_MINOR) aVERSION_PHASE sXSTR(aVERSION_PATCH);
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t b1, uint8_t c1, uint8_t a2, uint8_t b2,
                               uint8_t c2)
{
    if (a1 != a2)
        return a1 > a2;
    if (b1 != b2)
        return b1 > b2;
    return c1 >= c2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (size_t i = 0; i < sFEATURE_COUNT; i++)
        if (strcmp(name, sFeatures[i].name) == 0)
            return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    size_t size = 1;
    for (size_t i = 0; i < sFEATURE_COUNT; i++)
        size += strlen(sFeatures[i].name) + strlen(sFEATURE_SEPARATOR) +
                strlen(sFeatures[i].description) + 1;
    char* list = (char*)malloc(size);
    if (!list)
        return NULL;
    size_t used = 0;
    for (size_t i = 0; i < sFEATURE_COUNT; i++)
        used += (size_t)snprintf(list + used, size - used, "%s%s%s%s", i ? "\n" : "",
                                 sFeatures[i].name, sFEATURE_SEPARATOR, sFeatures[i].description);
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (!list)
        return;
    free(*list);
    *list = NULL;
}
