// Version words and the library's own version.
//
// A version travels as one 32-bit word in one of two layouts:
//   legacy (versions below 2.15): major bits 31-28, minor 27-24, patch 23-0;
//   current (2.15 on): marker 0x2F in bits 31-24, major 23-16, minor 15-8,
//   patch 7-0.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's version: 2.12.2.
#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 2

// Text between minor and patch in the library's version text: ".".
extern const char aVERSION_PHASE[];

// True when word is in the legacy layout (top nibble below 2, or 2 with bits
// 27-24 below 15).
bool aVersion_IsLegacyFormat(uint32_t word);

// Major, minor and patch of a version word, in either layout.
uint8_t aVersion_ParseMajor(uint32_t word);
uint8_t aVersion_ParseMinor(uint32_t word);
uint32_t aVersion_ParsePatch(uint32_t word);

// Writes "major.minor.patch" of word into buffer, cut to size and
// terminated (nothing is written when buffer is null or size 0). Returns the
// length the full text has.
size_t aVersion_ParseString(uint32_t word, char* buffer, size_t size);

// Packs a version: current layout for 2.15 and above, else legacy (the
// legacy layout keeps the low 4 bits of minor).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The library's version: 2, 12, 2 and "2.12.2" (static text).
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint32_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

// True when (major, minor, patch) >= (refMajor, refMinor, refPatch), compared
// major first, then minor, then patch.
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                               uint8_t refMajor, uint8_t refMinor, uint8_t refPatch);

// True when the library's version is at least (major, minor, patch).
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when the library has a feature of exactly this name (e.g. "VERSION").
bool aVersion_HasFeature(const char* name);

// Returns a new text listing every feature as "name - description", one per
// line; the caller releases it with aVersion_DestroyFeatureList. Null when
// memory runs out.
char* aVersion_GetFeatureList(void);

// Frees a feature list and sets *pList to null.
void aVersion_DestroyFeatureList(char** pList);

#ifdef __cplusplus
}
#endif
