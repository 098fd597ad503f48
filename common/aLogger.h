// Background log writers: a worker thread that repeatedly calls a callback
// which writes into a file opened for the logger.
#pragma once

#include <stdint.h>

#include "common/aError.h"
#include "common/aFile.h"

#ifdef __cplusplus
extern "C" {
#endif

// Called over and over on the worker thread while the logger runs, with the
// logger's file and the value given at creation. Return aErrNone when
// something was written (the worker calls again at once) and any other code
// when there was nothing to do (the worker then pauses about 5 ms before the
// next call). A call should not block for more than a few milliseconds:
// aLogger_Disable waits for the running call to end.
typedef aErr (*aLoggerProc)(aFileHandle hFile, uint32_t value);

// Opaque logger; owned by its creator, released by aLogger_Destroy.
typedef struct aLogger* aLoggerHandle;

// Returns a new, stopped logger writing to path (opened for append,
// unbuffered); the caller destroys it. Null when callback or path is null,
// memory runs out or the file cannot be opened.
aLoggerHandle aLogger_Create(uint32_t value, aLoggerProc callback, const char* path);

// Starts the worker. 0 when started or already running; aErrParam for an
// invalid handle, aErrResource when the thread cannot be started.
aErr aLogger_Enable(aLoggerHandle hLogger);

// Stops the worker and waits for it to end. 0 when stopped or not running;
// from the worker itself it only asks it to stop (no wait). aErrParam for an
// invalid handle, aErrUnknown when the worker cannot be joined.
aErr aLogger_Disable(aLoggerHandle hLogger);

// Stops the logger if running, closes its file, frees it and sets *phLogger
// to null. 0 without effect for a null or invalid handle. When stopping
// fails the error is returned and the handle stays; aErrBusy (handle stays)
// when called from the logger's own worker, which cannot free itself.
aErr aLogger_Destroy(aLoggerHandle* phLogger);

#ifdef __cplusplus
}
#endif
