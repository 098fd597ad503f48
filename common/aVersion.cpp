#include "common/aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

const char aVERSION_PHASE[] = ".";

namespace {

// Top byte of a word in the current layout.
constexpr uint32_t kMarker = 0x2F;

struct Feature {
  const char* name;
  const char* description;
};

const Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

}  // namespace

bool aVersion_IsLegacyFormat(uint32_t word) {
  uint32_t top = word >> 28;
  uint32_t next = (word >> 24) & 0xF;
  return top < 2 || (top == 2 && next < 15);
}

uint8_t aVersion_ParseMajor(uint32_t word) {
  if (aVersion_IsLegacyFormat(word)) return (uint8_t)(word >> 28);
  return (uint8_t)(word >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t word) {
  if (aVersion_IsLegacyFormat(word)) return (uint8_t)((word >> 24) & 0xF);
  return (uint8_t)(word >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t word) {
  if (aVersion_IsLegacyFormat(word)) return word & 0xFFFFFF;
  return word & 0xFF;
}

size_t aVersion_ParseString(uint32_t word, char* buffer, size_t size) {
  char text[32];
  int n = snprintf(text, sizeof text, "%u.%u.%u", (unsigned)aVersion_ParseMajor(word),
                   (unsigned)aVersion_ParseMinor(word), (unsigned)aVersion_ParsePatch(word));
  size_t length = n > 0 ? (size_t)n : 0;
  if (buffer && size > 0) {
    size_t copy = length < size - 1 ? length : size - 1;
    memcpy(buffer, text, copy);
    buffer[copy] = '\0';
  }
  return length;
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return (kMarker << 24) | ((uint32_t)major << 16) | ((uint32_t)minor << 8) | patch;
  return ((uint32_t)major << 28) | ((uint32_t)(minor & 0xF) << 24) | patch;
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint32_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  // Built once; the initialisation of a function-local static is thread-safe.
  static const char* const text = [] {
    static char buffer[15];
    snprintf(buffer, sizeof buffer, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
             aVERSION_PATCH);
    return buffer;
  }();
  return text;
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t refMajor,
                               uint8_t refMinor, uint8_t refPatch) {
  if (major != refMajor) return major > refMajor;
  if (minor != refMinor) return minor > refMinor;
  return patch >= refPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                   patch);
}

bool aVersion_HasFeature(const char* name) {
  if (!name) return false;
  for (const Feature& f : kFeatures)
    if (strcmp(f.name, name) == 0) return true;
  return false;
}

char* aVersion_GetFeatureList(void) {
  std::string list;
  for (const Feature& f : kFeatures) {
    if (!list.empty()) list += '\n';
    list += f.name;
    list += " - ";
    list += f.description;
  }
  // Plain malloc: the list is released by aVersion_DestroyFeatureList (free).
  char* text = (char*)malloc(list.size() + 1);
  if (!text) return nullptr;
  memcpy(text, list.c_str(), list.size() + 1);
  return text;
}

void aVersion_DestroyFeatureList(char** pList) {
  if (!pList) return;
  free(*pList);
  *pList = nullptr;
}
