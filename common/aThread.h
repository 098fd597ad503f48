// Threads: start a function on its own thread and wait for it to end.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Entry function of a thread; its result is discarded.
typedef void* (*aThreadProc)(void* vpRef);

// Opaque running thread; owned by its creator, released by aThread_Destroy.
typedef struct aThread* aThreadHandle;

// Starts a thread running entry(vpRef). Returns a new handle that the caller
// must release with aThread_Destroy; null when entry is null, memory runs out
// or the thread cannot be started.
aThreadHandle aThread_Create(aThreadProc entry, void* vpRef);

// Waits for the thread to end, frees the handle and sets *phThread to null.
// Returns the system's join result (0 on success; EINVAL for a null handle),
// not an aErr.
int aThread_Destroy(aThreadHandle* phThread);

// Gives up the processor for a few microseconds.
void aThread_Yield(void);

#ifdef __cplusplus
}
#endif
