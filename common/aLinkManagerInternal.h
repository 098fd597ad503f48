// Internals of the link table and the link record, for the code that creates
// links per transport (aLink_CreateUSB, aLink_CreateTCPIP, aLink_CreateSerial,
// aLink_CreateClient) and for the packet log. Not for application code.
//
// A transport's create function follows this pattern (the device API
// serialises creations with its own process-wide mutex):
//
//   aLinkEntry* e = aLinkManager_LookupEntryByIdentifier(serial, TCPIP);
//   if (e) { if (e->server) return 0; aLinkManager_ChangeUseCount(e, 1); return e->id; }
//   int32_t id = aLinkManager_Create2(serial, address, port, TCPIP);
//   aStreamRef s = NULL;
//   aErr err = aStream_CreateSocket(address, port, &s);        // the transport's
//   if (aLink_Init(id, s) != id && !err) err = aErrConnection;  // takes s
//   if (!err) { aLinkManager_ChangeUseCount(aLinkManager_LookupEntryByID(id), 1);
//               err = aLink_Start(id); }
//   if (err) { aLink_Destroy(&id); return 0; }   // also frees s
//   return id;
//
// aLink_Destroy of an entry with use count 0 tears it down at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "common/aLink.h"
#include "common/aMutex.h"
#include "common/aThread.h"

// Packet log hooks. The packet log (a ring of records) lives outside this
// library; when it is switched on, its owner stores the ring and the two
// operations below in the link record, holding logMutex while it does. The
// reader and writer threads then record packets through logPut, under
// logMutex; aLink_Destroy calls logDestroy.
struct aPacketLog;
typedef aErr (*aLinkPacketLogPutProc)(aPacketLog* log, uint8_t direction, uint32_t length,
                                      const uint8_t* bytes);
typedef aErr (*aLinkPacketLogDestroyProc)(aPacketLog** pLog);
#define aLINK_LOG_OUTBOUND 1
#define aLINK_LOG_INBOUND 2
#define aLINK_LOG_NOTE 3

#define aLINK_CHECK 0xCEED

// The link record. Fields marked (reader) are used by the reader thread only
// while the link runs. running, status and the started flags are polled
// across threads and are atomics.
struct aLink {
  std::atomic<uint16_t> check{0};  // aLINK_CHECK once initialised
  int32_t id = 0;
  std::atomic<bool> running{false};
  std::atomic<int32_t> status{kLinkStatusInvalidStream};
  std::atomic<aPacketFifoHandle> inFifo{0};   // packets received from the module
  aPacket* rxPacket = nullptr;    // (reader) packet being assembled
  std::atomic<aPacketFifoHandle> outFifo{0};  // packets waiting to be written
  aThreadHandle inThread = nullptr;
  aThreadHandle outThread = nullptr;
  aThreadProc inProc = nullptr;
  aThreadProc outProc = nullptr;
  std::atomic<bool> inStarted{false};
  std::atomic<bool> outStarted{false};
  aStreamRef stream = nullptr;  // owned by the link
  int32_t hbState = 0;          // (reader) 0 idle, 2/3 answering an up/down beat
  std::atomic<int32_t> syncState{kSyncStateSynced};  // (reader) kSyncState*
  uint8_t syncByte = 0;                              // (reader)
  std::atomic<uint64_t> lastSyncRequestMs{0};       // pacing of sync requests

  // Packet log: see above. All four guarded by logMutex.
  aPacketLog* packetLog = nullptr;
  int32_t logSize = 0;
  aMutexHandle logMutex = nullptr;
  aLinkPacketLogPutProc logPut = nullptr;
  aLinkPacketLogDestroyProc logDestroy = nullptr;

  aPacketFilter userFilter = nullptr;  // guarded by userFilterMutex
  void* userFilterRef = nullptr;
  aMutexHandle userFilterMutex = nullptr;
  std::atomic<bool> pooled{false};

  // Writer: failure streak bookkeeping, so a dead transport is logged once.
  bool writeFailing = false;
  uint64_t writeFailures = 0;

  // Serialises Init, Start, Stop and Reset of this record.
  std::recursive_mutex control;

  ~aLink();  // frees the mutexes; everything else is freed by aLink_Destroy
};

// One link-table entry.
struct aLinkEntry {
  int32_t id = 0;          // unique for the process lifetime
  int32_t baseLinkId = 0;  // client link made for a link server: its device link
  void* server = nullptr;  // link server serving this device, if any
  int32_t ident0 = 0;      // transport identity, by kind: USB serial; TCPIP
  int32_t ident1 = 0;      //   serial, address, port; SERIAL serial; aEther
  int32_t ident2 = 0;      //   address, port, client number; legacy -1
  linkType type = LINK_TYPE_NONE;
  int16_t useCount = 0;    // guarded by the table mutex
  std::shared_ptr<aLink> link;  // the record; shared so that an operation in
                                // flight keeps it alive across a destroy
  aLinkEntry* next = nullptr;
};

// New entry with use count 0 and a zeroed link record; returns its id.
int32_t aLinkManager_Create2(int32_t ident0, int32_t ident1, int32_t ident2, linkType type);
int32_t aLinkManager_Create(int32_t ident0, int32_t ident1, linkType type);
// The entry with that id / the first with that ident0 and type; NULL when none.
// The pointer stays valid until the entry's last aLink_Destroy.
aLinkEntry* aLinkManager_LookupEntryByID(int32_t id);
aLinkEntry* aLinkManager_LookupEntryByIdentifier(int32_t ident0, linkType type);
// Unlinks the entry and hands it to the caller (who deletes it); NULL if none.
aLinkEntry* aLinkManager_ExtractEntry(int32_t id);
// Adds delta to the entry's use count (under the table mutex); returns the new count.
int32_t aLinkManager_ChangeUseCount(aLinkEntry* entry, int32_t delta);
// The link record of id (a shared reference), or empty.
std::shared_ptr<aLink> aLinkManager_GetLink(int32_t id);

// Prepares the record of an existing entry over stream (which the link then
// owns; NULL gives status kLinkStatusInvalidStream). Fresh queues, packet and
// filter mutex; stopped. Returns id, or 0 when the id names no entry.
int32_t aLink_Init(int32_t id, aStreamRef stream);

// Stops the threads (writing route-off first). aErrParam for NULL,
// aErrUnknown when a thread cannot be joined.
aErr aLink_Stop(aLink* link);

// Stream reopening for aLink_Reset. A transport registers, per link type, a
// function that opens a new stream from the entry's identity (ident0..2 as
// listed at aLinkEntry) and stores it in *out. An opener registered for
// AETHER also serves the other aEther kinds unless they have their own.
// Registering NULL removes it. Safe from any thread.
typedef aErr (*aLinkStreamOpener)(int32_t ident0, int32_t ident1, int32_t ident2,
                                  aStreamRef* out);
void aLink_SetStreamOpener(linkType type, aLinkStreamOpener opener);
