// The link's reader thread: reads the stream byte by byte, finds and keeps
// byte alignment, assembles packets, answers heartbeats and queues the rest.
//
// When nothing is waiting, the reader blocks in the stream's wait operation
// (or, for a stream without one, sleeps a millisecond), so an idle link costs
// no measurable CPU. While unaligned it repeats its sync request every
// aLINK_SYNC_REPEAT_MS, not on every empty read.
#include "common/aLinkThreads.h"
#include "common/aTime.h"

// Sends a byte-sync request: six empty packets to cmdMAGIC; the module
// answers each with an empty packet from its own address.
aErr aLink_QueueSyncRequest(aLink* link) {
  static const uint8_t none = 0;
  aPacket* request = aPacket_CreateWithData(cmdMAGIC, 0, &none);
  if (!request) return aErrMemory;
  aErr err = aErrNone;
  for (int i = 0; i < aLINK_SYNC_REQUESTS; i++) err = aPacketFifo_Put(link->outFifo, request);
  aPacket_Destroy(&request);
  return err;
}

static void sStartSync(aLink* link) {
  link->status = kLinkStatusSyncing;
  link->syncState = kSyncStateStart;
  link->lastSyncRequestMs = aTime_GetMSTicks();
  aPacket_Reset(link->rxPacket);
  if (aLink_QueueSyncRequest(link) == aErrNone) link->syncState = kSyncStateByte1;
}

// One byte while syncing: alignment is two empty packets from one (even,
// non-zero) address, A 0 A 0.
static void sSyncByte(aLink* link, uint8_t b) {
  switch (link->syncState.load()) {
    case kSyncStateByte1:
      if (b != 0 && (b & 1) == 0) {
        link->syncByte = b;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2:
      link->syncState = b == 0 ? kSyncStateByte3 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      link->syncState = b == link->syncByte ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (b == 0) {
        // A sync started by aLink_Sync finds whatever partial packet the
        // reader held; the stream is aligned now, so it starts afresh.
        aPacket_Reset(link->rxPacket);
        link->syncState = kSyncStateSynced;
        link->status = kLinkStatusRunning;
      } else {
        link->syncState = kSyncStateStart;
      }
      break;
    default:  // kSyncStateStart, or a sync requested while aligned
      sStartSync(link);
      break;
  }
}

// Heartbeat from the module: answer beat b with b + 2 to the same address.
// Returns true when the packet was a heartbeat (it is never queued).
static bool sHandleHBBackChannel(aLink* link, const aPacket* p) {
  if (p->dataSize != 2 || p->data[0] != cmdHEARTBEAT || link->hbState >= 2) return false;
  const uint8_t beat = p->data[1];
  if (beat == kHeartbeatUp) link->hbState = 2;
  if (beat == kHeartbeatDown) link->hbState = 3;
  const uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(beat + 2)};
  aPacket* reply = aPacket_CreateWithData(p->address, 2, answer);
  if (reply) {
    aPacketFifo_Put(link->outFifo, reply);
    aPacket_Destroy(&reply);
  }
  link->hbState = 0;
  return true;
}

// After every accepted byte: hands a complete packet to the user filter,
// the heartbeat handler or the inbound queue.
static aErr sHandlePacket(aLink* link) {
  aPacket* p = link->rxPacket;
  if (!aPacket_IsComplete(p)) return aErrNone;
  aLink_LogPacket(link, aLINK_LOG_INBOUND, p);

  bool consumed = false;
  aMutex_Lock(link->userFilterMutex);
  if (link->userFilter) consumed = link->userFilter(p, link->userFilterRef) == 1;
  aMutex_Unlock(link->userFilterMutex);

  aErr err = aErrNone;
  if (!consumed && !sHandleHBBackChannel(link, p)) err = aPacketFifo_Put(link->inFifo, p);
  aPacket_Reset(p);
  return err;
}

// Waits that report input although the next read finds none, in a row,
// before the reader stops trusting the stream's wait and paces itself.
#define aLINK_MAX_EMPTY_WAKEUPS 100

// Waits up to timeoutMs for input without spinning. emptyWakeups counts the
// waits in a row that said "ready" but were followed by no byte.
static void sAwaitInput(aLink* link, uint32_t timeoutMs, uint32_t* emptyWakeups) {
  if (timeoutMs == 0) return;
  if (*emptyWakeups >= aLINK_MAX_EMPTY_WAKEUPS) {
    aLink_SleepMs(1);  // a wait that keeps saying "ready" must not make us spin
  }
  aErr err = aStream_Wait(link->stream, timeoutMs);
  if (err == aErrNone) {
    (*emptyWakeups)++;
  } else {
    *emptyWakeups = 0;
    if (err != aErrTimeout) aLink_SleepMs(1);  // no wait operation
  }
}

void* aLink_InPipeProcess(void* vpLink) {
  aLink* link = static_cast<aLink*>(vpLink);
  link->hbState = 0;
  link->syncByte = 1;
  link->lastSyncRequestMs = 0;
  link->inStarted = true;
  // The sync state before the status: once the status says running, a sync
  // may begin at any moment and must not be undone here.
  link->syncState = kSyncStateSynced;
  link->status = kLinkStatusRunning;
  uint32_t emptyWakeups = 0;

  while (link->running) {
    uint8_t b;
    const aErr err = aStream_Read(link->stream, &b, 1);
    if (err != aErrNotReady) emptyWakeups = 0;
    if (err == aErrNotReady) {
      uint32_t wait = aLINK_THREAD_WAIT_MS;
      const int32_t status = link->status;
      if (status == kLinkStatusSyncing || status == kLinkStatusIOError) {
        // The time of the last request is read before the clock, so that a
        // request queued meanwhile by aLink_Sync never looks like the future.
        const uint64_t last = link->lastSyncRequestMs;
        const uint64_t since = aTime_GetMSTicks() - last;
        if (last == 0 || since >= aLINK_SYNC_REPEAT_MS) {
          sStartSync(link);
          wait = aLINK_SYNC_REPEAT_MS;
        } else {
          wait = static_cast<uint32_t>(aLINK_SYNC_REPEAT_MS - since);
        }
      }
      sAwaitInput(link, wait, &emptyWakeups);
      continue;
    }
    if (err != aErrNone) {
      link->status = kLinkStatusIOError;
      aLink_SleepMs(aLINK_READ_ERROR_PAUSE_MS);
      continue;
    }
    if (link->status == kLinkStatusSyncing) {
      sSyncByte(link, b);
      continue;
    }
    const aErr added = aPacket_AddByte(link->rxPacket, b);
    if (added != aErrNone || (link->rxPacket->address & 1)) {
      sStartSync(link);  // out of alignment: the partial packet is dropped
    } else if (sHandlePacket(link) != aErrNone) {
      link->status = kLinkStatusPacketError;
    }
  }
  return NULL;
}
