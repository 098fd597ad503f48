// Packet log: a bounded in-memory ring of the packets a link writes and
// receives, plus text notes. Recording never blocks the link: when the ring
// is full the oldest entries make room.
//
// One entry is length + 2 consecutive bytes of the ring (wrapping at the
// end): the direction, the length n (0..255), then n bytes (a packet's wire
// bytes, or the note's text). One byte always stays free, so a full ring is
// distinguishable from an empty one.
#pragma once

#include <stdint.h>

#include "common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

// Entry directions.
#define aPACKETLOG_OUTBOUND 1  // written to the module
#define aPACKETLOG_INBOUND 2   // received from the module
#define aPACKETLOG_NOTE 3      // text note

// Largest ring a link may be given (aLink_PacketDebug_SetLogSize).
#define aPACKETLOG_MAXSIZE 0x4000000

// Default ring size of a link's log.
#define aPACKETLOG_DEFAULTSIZE 65536

typedef struct aPacketLog {
  uint8_t* data;      // the ring, size bytes, owned
  uint32_t size;      // capacity in bytes
  uint32_t readPos;   // offset of the oldest entry
  uint32_t writePos;  // offset after the newest entry; equal to readPos: empty
} aPacketLog;

// Returns a new empty ring of size bytes (the caller destroys it with
// aPacketLog_Destroy); null when size is 0 or memory runs out. The ring takes
// no lock: callers serialise Put and Get (a link does with its logMutex).
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends an entry, dropping the oldest entries until it fits. aErrOverrun
// when it can never fit (length + 2 not smaller than the ring, or length
// above 255); aErrParam for a null log, or null bytes with a length.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint32_t length,
                    const uint8_t* bytes);

// Takes the oldest entry. On entry *length is the capacity of out; on return
// *direction and *length describe the entry. aErrNotFound when the ring is
// empty; aErrOverrun when out is too small (the entry stays, *length tells
// the size needed); aErrParam for null arguments.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint32_t* length,
                    uint8_t* out);

// Frees the ring and sets *log to null. aErrParam when there is none.
aErr aPacketLog_Destroy(aPacketLog** log);

// Per-link switches. Every one returns aErrParam when linkID names no link.

// Sets the ring size used by the next Enable (negative counts as 0, 0 means
// the default). aErrParam when size exceeds aPACKETLOG_MAXSIZE; aErrBusy when
// the log already exists.
aErr aLink_PacketDebug_SetLogSize(int32_t linkID, int32_t size);

// Creates the link's ring (and its mutex) unless it exists. aErrResource when
// either cannot be made.
aErr aLink_PacketDebug_Enable(int32_t linkID);

// aErrNotReady when the link has no log; else aErrNone. The ring stays and
// keeps recording until the link is destroyed.
aErr aLink_PacketDebug_Disable(int32_t linkID);

// aPacketLog_Get on the link's ring under its mutex; aErrNotReady without a
// log.
aErr aLink_PacketDebug_Read(int32_t linkID, uint8_t* direction,
                            uint32_t* length, uint8_t* out);

// aPacketLog_Put on the link's ring under its mutex; aErrNotReady without a
// log.
aErr aLink_PacketDebug_Write(int32_t linkID, uint8_t direction,
                             uint32_t length, const uint8_t* bytes);

#ifdef __cplusplus
}
#endif
