// Links: one byte stream to one module turned into a packet channel, with a
// reader thread (byte alignment, packet assembly, heartbeat answers, inbound
// queue) and a writer thread (outbound queue to the stream). Links are named
// by process-unique ids from 1 upward (0: no link) and shared by use count:
// every successful Create adds a use, every Destroy drops one, the last one
// tears the link down.
//
// Packets returned by the get and await functions are fresh copies; the
// caller destroys them with aPacket_Destroy. Packets passed in are copied.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "common/aError.h"
#include "common/aLinkSpec.h"
#include "common/aPacket.h"
#include "common/aStream.h"
#include "common/packetfifo.h"

#ifdef __cplusplus
extern "C" {
#endif

// Link status (aLink_GetStatus); callers compare against these numbers.
#define kLinkStatusStopped 0
#define kLinkStatusStarting 1
#define kLinkStatusRunning 2        // threads running, byte alignment held
#define kLinkStatusStopping 3
#define kLinkStatusSyncing 4        // looking for byte alignment
#define kLinkStatusInvalidStream 5  // no stream; also any id that names no link
#define kLinkStatusIOError 6        // the last stream read failed
#define kLinkStatusPacketError 8    // a received packet could not be queued

// Byte-synchronisation states of the reader.
#define kSyncStateSynced 0
#define kSyncStateStart 1
#define kSyncStateByte1 2
#define kSyncStateByte2 3
#define kSyncStateByte3 4
#define kSyncStateByte4 5

// Heartbeat payload: cmdHEARTBEAT, beat. The host answers beat b with b + 2.
#define kHeartbeatUp 0
#define kHeartbeatDown 1

// Batch size of pooled writing.
#define aLINK_POOL_BYTES 4096

// --- Creation and destruction -------------------------------------------

// Link over a caller's stream; the link takes ownership of the stream (also
// on failure, when it is destroyed). Starts the threads and sends route-on;
// does not wait for alignment (see aLink_Sync). Returns the id, 0 on failure.
int32_t aLink_Create(aStreamRef stream);

// Per-transport creation (transport libraries): a second create for the same
// module returns the same id with one more use. 0 on failure.
int32_t aLink_CreateUSB(uint32_t serialNumber);
int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port);
int32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
int32_t aLink_CreateClient(uint32_t address, uint32_t port, int32_t ref);

// Drops one use; the last use stops the link (route-off is written first)
// and frees everything it owns, stream included. Always sets *pId to 0.
// aErrParam for an id that names no link.
aErr aLink_Destroy(int32_t* pId);

// Stops the link, closes its stream, reopens a stream of the same kind
// (through the opener registered for the kind, see aLinkManagerInternal.h;
// up to 20 attempts 100 ms apart) and restarts it. aErrParam for an unknown
// id or a kind without a registered opener; the opener's last error when no
// stream could be reopened (the link then stays stopped with status
// kLinkStatusInvalidStream, and a later reset may try again).
aErr aLink_Reset(int32_t id);

// --- Running ------------------------------------------------------------

// Starts the reader and writer threads and queues route-on (AF 01 01).
// aErrNone (also when already running), aErrParam (unknown id or no stream),
// aErrResource (a thread could not be created), aErrIndexRange (the threads
// did not come up within 2 s).
aErr aLink_Start(int32_t id);

// Requests byte alignment and waits up to 2 s for it: aErrNone once aligned,
// aErrNotReady when still unaligned, aErrParam for an unknown id. Either way
// the outbound queue is emptied, then, 100 ms later, the inbound queue (the
// surplus answers to the sync requests).
aErr aLink_Sync(int32_t id);

// Queues a route packet (AF 01 on) that asks the module to route its traffic
// to this link (on = 1) or to stop (on = 0). aErrNotFound (unknown id),
// aErrParam (no link record), aErrMemory, else the result of the put.
aErr aLink_ForceRoute(int32_t id, uint8_t on);

// Status (kLinkStatus*); kLinkStatusInvalidStream for an unknown id.
int32_t aLink_GetStatus(int32_t id);

// --- Packets --------------------------------------------------------------

// Queues a copy of packet for writing. aErrParam for an unknown id or an
// invalid packet.
aErr aLink_PutPacket(int32_t id, const aPacket* packet);
// Oldest inbound packet, or NULL; no wait.
aPacket* aLink_GetPacket(int32_t id);
// Oldest inbound packet, waiting up to timeoutMs; NULL on timeout.
aPacket* aLink_AwaitPacket(int32_t id, uint32_t timeoutMs);
// First inbound packet that matches filter, or NULL; no wait.
aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* ref);
// First matching inbound packet, waiting up to timeoutMs while the link is
// running and aligned; NULL at once when it is not.
aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* ref, uint32_t timeoutMs);
// Removes the matching inbound packets; returns how many (0 for an unknown id).
uint32_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* ref);

// Installs (or with NULL removes) a filter that the reader thread calls for
// every complete inbound packet before heartbeat handling and queueing; a
// result of 1 consumes the packet. The packet passed is the reader's own
// buffer: copy what you keep. aErrParam for an unknown id.
aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* ref);

// Pooled writing: queued packets are gathered into writes of at most 4096
// bytes instead of one write per packet. aErrParam for an unknown id.
aErr aLink_EnablePooledPackets(int32_t id, bool on);

#ifdef __cplusplus
}
#endif
