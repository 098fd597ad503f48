// Directories and paths: existence, recursive creation, listing, removal,
// well-known locations and path joining. Failures are aErr codes; nothing
// here throws, and only aDirectory_DeleteTree prints (when a file cannot be
// removed).
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "common/aError.h"

#ifdef __cplusplus
#include <string>
extern "C" {
#endif

// The path separator, "/".
extern const char aDIR_PATH_SEP[];

// Longest path, in characters, accepted by the file and directory services
// (same value as aFILE_MAXPATHLEN).
#define aDIRECTORY_MAXPATHLEN 4096
// Longest path built for one entry by aDirectory_List, terminator included.
#define aDIRECTORY_LISTPATHLEN 2048
// Most components aDirectory_BuildPath joins (the first one included).
#define aDIRECTORY_MAXCOMPONENTS 10

// One entry handed to an aDirectory_List callback. filePath belongs to the
// lister and is valid during the callback only.
typedef struct aDirectoryListData {
  const char* filePath;  // directory path + "/" + entry name
  uint32_t fileSize;     // size in bytes
  uint32_t isDirectory;  // 1 for a directory, else 0
} aDirectoryListData;

// List callback: return false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* pEntry, void* vpRef);

// True when path exists and is a directory.
bool aDirectory_Exists(const char* path);

// Creates path and every missing directory above it with the permission
// bits (e.g. 0755). 0 when the directory exists at the end, else
// aErrPermission (aErrParam for a null or too long path).
aErr aDirectory_Ensure(const char* path, uint32_t permissions);

// Calls callback(entry, vpRef) for every entry of path, "." and ".."
// included, in the system's order, until the callback returns false.
// aErrNotFound when the directory cannot be opened, else 0.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* vpRef);

// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything in it, depth first. aErrNotFound when
// it cannot be opened; a file that cannot be removed is reported on standard
// output and ends the walk. Returns the result of removing path itself
// (0 or aErrUnknown).
aErr aDirectory_DeleteTree(const char* path);

// Current working directory into buffer. aErrParam when it does not fit or
// cannot be read.
aErr aDirectory_CWD(char* buffer, size_t size);

// Path of the running program into buffer (cut to size - 1 characters).
// aErrParam for a null buffer or size 0, aErrRead when it cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// Home directory of the current user (user database, else $HOME) into
// buffer. aErrParam for a null buffer or size 0, aErrOverrun when it does not
// fit (the buffer holds the cut text), aErrNotFound when neither source has
// one; else 0.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// aDirectory_BuildPath with the two components first and second.
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

// Joins first and the further components (null-terminated list, at most 10
// components in all) into buffer, inserting "/" where neither side has one.
// aErrParam for a null buffer, a buffer that is also a component, or more than
// 10 components; aErrOverrun when the text does not fit (what fitted stays).
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
    __attribute__((sentinel));

#ifdef __cplusplus
}

// Joins first and the further components (null-terminated list) with "/"
// between every two, always: "a/" and "b" give "a//b". No length limit.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
#endif
