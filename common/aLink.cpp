// Per-link operations: initialise, start and stop the reader and writer
// threads, synchronise, route, and the packet access functions.
#include <stdio.h>

#include "common/aLinkThreads.h"
#include "common/aTime.h"

// Start and Sync poll the threads' progress this often.
#define aLINK_POLL_MS 2
#define aLINK_START_TIMEOUT_MS 2000
#define aLINK_SYNC_TIMEOUT_MS 2000
#define aLINK_SYNC_SETTLE_MS 100

aLink::~aLink() {
  if (userFilterMutex) aMutex_Destroy(&userFilterMutex);
  if (logMutex) aMutex_Destroy(&logMutex);
}

static uint8_t sAnyPacket(const aPacket*, void*) { return 1; }

void aLink_LogPacket(aLink* link, uint8_t direction, const aPacket* packet) {
  if (!link->logMutex) return;
  aMutex_Lock(link->logMutex);
  if (link->packetLog && link->logPut) {
    uint8_t wire[aPACKET_MAXWIRE];
    size_t n = 0;
    if (aPacket_GetBytes(packet, wire, sizeof(wire), &n) == aErrNone)
      link->logPut(link->packetLog, direction, static_cast<uint32_t>(n), wire);
  }
  aMutex_Unlock(link->logMutex);
}

int32_t aLink_Init(int32_t id, aStreamRef stream) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link) return 0;
  std::lock_guard<std::recursive_mutex> guard(link->control);
  if (link->running) return 0;  // never re-initialise a running link

  link->id = id;
  link->check = aLINK_CHECK;
  link->running = false;
  if (link->stream && link->stream != stream) aStream_Destroy(&link->stream);
  link->stream = stream;
  link->status = stream ? kLinkStatusStopped : kLinkStatusInvalidStream;
  link->inThread = link->outThread = nullptr;

  aPacketFifoHandle old = link->inFifo.exchange(aPacketFifo_Create());
  if (old) aPacketFifo_Destroy(&old);
  old = link->outFifo.exchange(aPacketFifo_Create());
  if (old) aPacketFifo_Destroy(&old);
  link->inProc = aLink_InPipeProcess;
  link->outProc = aLink_OutPipeProcess;
  link->inStarted = link->outStarted = false;
  link->hbState = 0;
  link->syncState = kSyncStateSynced;
  if (link->rxPacket) aPacket_Destroy(&link->rxPacket);
  link->rxPacket = aPacket_Create();
  link->pooled = false;
  link->writeFailing = false;
  link->writeFailures = 0;

  char name[aMUTEX_MAXNAMELEN + 1];
  if (!link->userFilterMutex) {
    snprintf(name, sizeof(name), "aLink(%p)->userFilterSema", static_cast<void*>(link.get()));
    link->userFilterMutex = aMutex_Create(name);
  }
  if (!link->logMutex) {
    snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link.get()));
    link->logMutex = aMutex_Create(name);
  }
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  aMutex_Unlock(link->userFilterMutex);

  if (!link->inFifo || !link->outFifo || !link->rxPacket || !link->userFilterMutex ||
      !link->logMutex)
    return 0;
  return id;
}

aErr aLink_Start(int32_t id) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link || link->check != aLINK_CHECK) return aErrParam;
  {
    std::lock_guard<std::recursive_mutex> guard(link->control);
    if (link->running) return aErrNone;
    if (!link->stream) return aErrParam;
    link->running = true;
    link->status = kLinkStatusStarting;
    link->hbState = 0;
    link->inStarted = link->outStarted = false;
    link->inThread = aThread_Create(link->inProc, link.get());
    if (link->inThread) link->outThread = aThread_Create(link->outProc, link.get());
    if (!link->inThread || !link->outThread) {
      link->running = false;
      if (link->inThread) aThread_Destroy(&link->inThread);
      link->status = kLinkStatusStopped;
      return aErrResource;
    }
  }
  bool up = false;
  for (int waited = 0; waited <= aLINK_START_TIMEOUT_MS; waited += aLINK_POLL_MS) {
    // The reader leaves "starting" as soon as it runs (a failing stream may
    // already have turned that into an I/O error).
    if (link->inStarted && link->outStarted && link->status != kLinkStatusStarting) {
      up = true;
      break;
    }
    aLink_SleepMs(aLINK_POLL_MS);
  }
  if (!up) return aErrIndexRange;
  return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLink* link) {
  if (!link) return aErrParam;
  std::lock_guard<std::recursive_mutex> guard(link->control);
  const int32_t status = link->status;
  if (status == kLinkStatusStopping || status == kLinkStatusStopped) return aErrNone;
  link->status = kLinkStatusStopping;
  if (!link->inThread || !link->outThread) return aErrNone;

  static const uint8_t off = 0;
  aPacket* route = aPacket_CreateWithData(cmdFORCEROUTE, 1, &off);
  if (route) {
    aPacketFifo_Put(link->outFifo, route);
    aPacket_Destroy(&route);
  }
  link->running = false;
  aErr err = aErrNone;
  if (aThread_Destroy(&link->inThread) != 0) err = aErrUnknown;
  if (aThread_Destroy(&link->outThread) != 0) err = aErrUnknown;
  link->inStarted = link->outStarted = false;
  aPacket_Reset(link->rxPacket);
  link->status = kLinkStatusStopped;
  link->hbState = 0;
  return err;
}

aErr aLink_Sync(int32_t id) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link || link->check != aLINK_CHECK) return aErrParam;
  // Without a reader nobody could align; do not wait for it.
  if (!link->running) return aErrNotReady;
  // The first request goes out now rather than when the reader next finds
  // the stream empty: a USB read may block for a second before that happens.
  // The reader then expects the first byte of an answer and repeats the
  // request only after the usual pause. Set before the status, so that a
  // reader that sees the link syncing also sees the request's time, and
  // before the request is queued, so that no answer can reach a reader that
  // still takes the stream for aligned.
  link->syncState = kSyncStateByte1;
  link->lastSyncRequestMs = aTime_GetMSTicks();
  link->status = kLinkStatusSyncing;
  aLink_QueueSyncRequest(link.get());
  aErr err = aErrNotReady;
  for (int waited = 0; waited <= aLINK_SYNC_TIMEOUT_MS; waited += aLINK_POLL_MS) {
    if (link->status == kLinkStatusRunning) {
      err = aErrNone;
      break;
    }
    aLink_SleepMs(aLINK_POLL_MS);
  }
  // Surplus sync requests and the answers to them are of no use to anyone.
  aPacketFifo_DrainPackets(link->outFifo, sAnyPacket, nullptr);
  aLink_SleepMs(aLINK_SYNC_SETTLE_MS);
  aPacketFifo_DrainPackets(link->inFifo, sAnyPacket, nullptr);
  return err;
}

aErr aLink_ForceRoute(int32_t id, uint8_t on) {
  aLinkEntry* entry = aLinkManager_LookupEntryByID(id);
  if (!entry) return aErrNotFound;
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link) return aErrParam;
  aPacket* route = aPacket_CreateWithData(cmdFORCEROUTE, 1, &on);
  if (!route) return aErrMemory;
  aErr err = aPacketFifo_Put(link->outFifo, route);
  aPacket_Destroy(&route);
  return err;
}

int32_t aLink_GetStatus(int32_t id) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  return link ? link->status.load() : kLinkStatusInvalidStream;
}

aErr aLink_PutPacket(int32_t id, const aPacket* packet) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(int32_t id) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  return link ? aPacketFifo_Get(link->inFifo) : NULL;
}

aPacket* aLink_AwaitPacket(int32_t id, uint32_t timeoutMs) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  return link ? aPacketFifo_Await(link->inFifo, timeoutMs) : NULL;
}

aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* ref) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  return link ? aPacketFifo_GetFirst(link->inFifo, filter, ref) : NULL;
}

aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* ref, uint32_t timeoutMs) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link) return NULL;
  const uint64_t start = aTime_GetMSTicks();
  aPacket* found = NULL;
  while (!found && link->running && link->status == kLinkStatusRunning) {
    const uint64_t now = aTime_GetMSTicks();
    if (now >= start + timeoutMs) break;
    found = aPacketFifo_AwaitFirst(link->inFifo, filter, ref,
                                   static_cast<uint32_t>(start + timeoutMs - now));
    // NULL means the time is up or the queue went away: either way, done.
    if (!found) break;
  }
  return found;
}

uint32_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* ref) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  return link ? aPacketFifo_DrainPackets(link->inFifo, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* ref) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link || !link->userFilterMutex) return aErrParam;
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = filter;
  link->userFilterRef = ref;
  aMutex_Unlock(link->userFilterMutex);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(int32_t id, bool on) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link) return aErrParam;
  link->pooled = on;
  return aErrNone;
}
