// The model table: display names of module model codes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Longest model display name, in characters.
#define aDEFS_MAXMODELNAMELEN 13

// Display name of a model code (static text, at most 13 characters);
// "Unknown" for a code not in the table.
const char* aDefs_GetModelName(uint32_t model);

#ifdef __cplusplus
}
#endif
