// Mutexes: named, non-recursive locks that any thread may use.
#pragma once

#include "common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

// Longest mutex name, in characters.
#define aMUTEX_MAXNAMELEN 255

// Opaque mutex; owned by its creator, released by aMutex_Destroy.
typedef struct aMutex* aMutexHandle;

// Returns a new unlocked mutex named name (null for none); the caller destroys
// it. Null when the name has more than 255 characters, memory runs out or the
// mutex cannot be set up.
aMutexHandle aMutex_Create(const char* name);

// The name given at creation ("" when none); null for a null handle. The text
// belongs to the mutex.
const char* aMutex_Identifier(aMutexHandle hMutex);

// Blocks until the mutex is held. aErrParam (null or invalid), aErrDuplicate
// when the system reports a deadlock.
aErr aMutex_Lock(aMutexHandle hMutex);

// Takes the mutex without waiting. aErrBusy when it is held, aErrParam.
aErr aMutex_TryLock(aMutexHandle hMutex);

// Releases the mutex. aErrPermission when the caller does not hold it,
// aErrParam.
aErr aMutex_Unlock(aMutexHandle hMutex);

// Frees the mutex and sets *phMutex to null in every case. aErrParam (null
// or invalid), aErrBusy (still locked), aErrResource (system EAGAIN).
aErr aMutex_Destroy(aMutexHandle* phMutex);

#ifdef __cplusplus
}
#endif
