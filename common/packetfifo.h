// Packet queues: thread-safe FIFOs of packets named by non-zero 64-bit
// handles, with filtered takes and waits. A link owns two (inbound and
// outbound). Packets go in as copies (the caller keeps its own) and come out
// as fresh copies that the taker destroys with aPacket_Destroy.
//
// A queue holds at most 1000 packets: the put that would make it 1001 empties
// it (new packet included), so a queue nobody reads cannot grow without bound.
// Waits are bounded by timeoutMs on a monotonic clock; destroying a queue
// wakes every waiter, which then returns NULL.
#pragma once

#include <stdint.h>

#include "common/aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t aPacketFifoHandle;

#define aPACKETFIFO_MAXPACKETS 1000

// Predicate over a queued packet: non-zero means it matches. ref is handed
// back unchanged. Runs on the calling thread with the queue locked: it must
// not call back into the same queue.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, void* ref);

// New empty queue; its handle, or 0 on failure. Handles count up from 1 and
// are not reused.
aPacketFifoHandle aPacketFifo_Create(void);

// Removes the queue, drops its packets, wakes every waiter and sets *pHandle
// to 0. aErrParam for NULL, aErrNotFound for an unknown handle.
aErr aPacketFifo_Destroy(aPacketFifoHandle* pHandle);

// Number of queued packets; 0 for an unknown handle.
uint32_t aPacketFifo_GetLength(aPacketFifoHandle handle);

// Queues a copy of packet. aErrParam for an unknown handle or invalid packet.
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);

// Takes the oldest packet; NULL when empty or unknown. The caller destroys it.
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);

// Takes the oldest packet, waiting up to timeoutMs; NULL on timeout or when
// the queue is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs);

// Takes the oldest packet that matches filter; NULL when none.
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, void* ref);

// As GetFirst, waiting up to timeoutMs. Each packet is offered to the filter
// at most once per call however often the waiter wakes; packets that do not
// match stay queued in order.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, void* ref,
                                uint32_t timeoutMs);

// Removes every queued packet that matches filter; returns how many.
uint32_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, void* ref);

#ifdef __cplusplus
}
#endif
