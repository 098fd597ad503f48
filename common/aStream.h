// Byte streams. A stream is a record of operations supplied by its kind (get
// one byte, put one byte, write a block, delete, and optionally wait for
// input) over the kind's own state (ref), plus a push-back buffer that the
// framework owns. Transports (USB, serial, socket, COBS framing) and the file
// streams all create their record with aStream_Create.
//
// Result of get, shared by every kind:
//   aErrNone      one byte was stored
//   aErrNotReady  nothing is waiting now; nothing stored; try again later
//   aErrEOF       the input has ended
//   other         the stream failed
//
// Threads: the framework takes no locks. One thread may read (get, wait and
// the push-back buffer) while another writes (put, write) on the same stream;
// every kind must allow that. Creation and destruction happen while no other
// thread uses the stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aSTREAM_CHECK 0x4321

typedef aErr (*aStreamGetProc)(uint8_t* pData, void* ref);
typedef aErr (*aStreamPutProc)(uint8_t data, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* pData, uint64_t length, void* ref);
// Releases ref; the framework never touches ref afterwards.
typedef aErr (*aStreamDeleteProc)(void* ref);

// Optional: blocks until input may be ready or timeoutMs has passed.
// Returns aErrNone when a get may now find a byte (or the input has ended or
// failed, so that get reports it), aErrTimeout when nothing arrived in time.
// Another code means waiting is impossible; the caller falls back to short
// sleeps. It must return early when input arrives (never sleep out the full
// time while a byte is waiting) and must not consume input. It is called only
// by the reading thread, concurrently with put/write on the writing thread.
// Kinds that answer "not ready" at once (sockets, serial lines, COBS over
// them, USB) should supply it, e.g. poll() on their descriptor, so that a
// link reader costs no CPU while idle.
typedef aErr (*aStreamWaitProc)(void* ref, uint32_t timeoutMs);

typedef struct aStream {
  aStreamGetProc getProc;
  aStreamPutProc putProc;
  aStreamWriteProc writeProc;
  aStreamDeleteProc deleteProc;
  void* ref;
  uint8_t* pushBack;      // ring, allocated on the first push-back
  uint32_t pushCount;
  size_t pushCapacity;
  size_t pushHead;        // oldest held byte
  size_t pushTail;        // where the next pushed byte goes
  uint16_t check;         // aSTREAM_CHECK while valid, 0 once destroyed
  aStreamWaitProc waitProc;  // optional, see aStreamWaitProc
} aStream;

typedef aStream* aStreamRef;

#define aVALIDSTREAM(s) ((s) != NULL && (s)->check == aSTREAM_CHECK)

// New stream record over ref with the given operations (any may be NULL).
// NULL when out of memory. The caller destroys it with aStream_Destroy.
aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc,
                          aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                          void* ref);

// Installs (or with NULL removes) the wait operation. aErrParam when invalid.
aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc waitProc);

// Waits up to timeoutMs for input. aErrNone when bytes are held in the
// push-back buffer or the kind's wait says input may be ready; aErrTimeout
// when none arrived; aErrUnimplemented when the kind has no wait operation
// (the caller then polls with short sleeps); aErrParam when invalid.
aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs);

// Calls delete(ref), frees the record and sets *pStream to NULL in every case.
// Returns the delete result; aErrParam for an invalid record.
aErr aStream_Destroy(aStreamRef* pStream);

// Reads exactly count bytes. When the source is only momentarily empty
// (aErrNotReady) the bytes taken are pushed back and dest is untouched. With
// aErrEOF the bytes before the end are copied but aErrEOF is returned.
// aErrParam, aErrMode (no get), aErrResource (no scratch memory).
aErr aStream_Read(aStreamRef stream, uint8_t* dest, uint64_t count);

// Writes count bytes: one write call for blocks over one byte when the kind
// has write, else byte by byte through put. aErrParam, aErrMode.
aErr aStream_Write(aStreamRef stream, const uint8_t* src, uint64_t count);

// Reads bytes into dest until the terminator bytes have been matched (in
// order, not necessarily adjacent; matched bytes are not stored) or maxLength
// bytes are held. *pLength (optional) gets the record length. On aErrNotReady
// the record bytes are pushed back. At the end of input a non-empty record
// succeeds; an empty one gives aErrEOF.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* dest, uint64_t* pLength,
                        uint64_t maxLength, const uint8_t* terminator,
                        uint64_t terminatorLength);
// Writes data, then the terminator.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, uint64_t length,
                         const uint8_t* terminator, uint64_t terminatorLength);

// Reads up to a NUL byte into dest (at most capacity - 1 characters), then
// terminates dest.
aErr aStream_ReadCString(aStreamRef stream, char* dest, uint64_t capacity);
// Writes the characters and one NUL byte.
aErr aStream_WriteCString(aStreamRef stream, const char* string);
// Reads up to the characters of terminator.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* dest, uint64_t capacity,
                               const char* terminator);
// Writes the string, then the terminator including its NUL byte.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string,
                                const char* terminator);

// Copies bytes from source (through its get, bypassing its push-back buffer)
// to dest until the source ends: aErrNone at its end, else the failure.
aErr aStream_Flush(aStreamRef source, aStreamRef dest);

// Pushes one byte back; the next read returns it after any already held.
// aErrParam, aErrMemory.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// File streams. *pStream receives a new stream the caller destroys.
// aErrResource when path or pStream is NULL, the file cannot be opened or
// memory runs out; no file stays open then.
aErr aStream_CreateFileInput(const char* path, aStreamRef* pStream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* pStream);

#ifdef __cplusplus
}
#endif
