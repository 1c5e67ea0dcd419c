/* Packed 32-bit version numbers of firmware and of this library. Two layouts:
 * legacy, major:4 minor:4 patch:24, for versions below 2.15; current, the byte
 * 0x2F then major, minor and patch bytes. */
#ifndef TS_AVERSION_H
#define TS_AVERSION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define aVERSION_CURRENT_TAG 0x2F000000u

/* The library's own version. */
#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 0

/* Packs a version, in the current layout from 2.15 on and the legacy one below;
 * only the low 8 bits of patch are kept. */
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
/* True when version is in the legacy layout (its legacy reading is below 2.15). */
bool aVersion_IsLegacyFormat(uint32_t version);
/* The parts of a packed version, read by its layout. */
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
/* Formats version as "major.minor.patch" into buffer (snprintf rules) and returns
 * the length of the full text. */
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

/* The library's version parts and its text, "2.12.0". */
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

/* True when a1.b1.c1 is the same as or later than a2.b2.c2. */
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t b1, uint8_t c1, uint8_t a2, uint8_t b2,
                               uint8_t c2);
/* True when the library is at least the given version. */
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

/* True when name is one of the library's feature names ("VERSION"). */
bool aVersion_HasFeature(const char* name);
/* A new text with one "name - description" line per feature (no final newline),
 * or null when memory runs out; release it with aVersion_DestroyFeatureList. */
char* aVersion_GetFeatureList(void);
/* Frees *list and nulls it; null is accepted. */
void aVersion_DestroyFeatureList(char** list);

#ifdef __cplusplus
}
#endif
#endif
