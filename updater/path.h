// File helpers of the store: replacing a file in one step.
#pragma once

#include <stddef.h>

#include <string>

#include "common/aError.h"

// Replaces the file at `path` with `length` bytes of `data`, never leaving a
// half-written file behind: the bytes go to a temporary file in the same
// directory (its name begins with "." so store listings pass over it), which
// is flushed to the device and then renamed over the target. On any failure
// the temporary file is removed and the previous file, if any, is untouched.
// Returns aErrNone, aErrParam (null path, or null data with a non-zero
// length), aErrNotFound (the temporary file cannot be created, e.g. the
// directory is missing) or aErrWrite (writing, flushing or renaming failed).
// `error` receives the system error number of the failure when not null.
aErr path_ReplaceFile(const char* path, const void* data, size_t length, int* error = nullptr);

// The directory part of a path (text before the last "/"), "." when none.
std::string path_Directory(const std::string& path);
// The part of a path after its last "/" (the whole path when none).
std::string path_FileName(const std::string& path);
