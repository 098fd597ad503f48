// The link's writer thread: takes packets from the outbound queue and writes
// them to the stream, one write per packet or, in pooled mode, batches of up
// to aLINK_POOL_BYTES. A write failure does not stop the link (the transport
// may recover), but the first failure of a streak, and the recovery after it,
// go to the diagnostic log so that a dead transport can be diagnosed.
#include "app/Log.h"
#include "common/aLinkThreads.h"

static void sNoteWriteResult(aLink* link, aErr err, uint32_t packets) {
  if (err == aErrNone) {
    if (link->writeFailing) {
      Log::log(DEBUG_Network,
               "link %d: stream writes work again; %llu packet(s) were lost\n", link->id,
               static_cast<unsigned long long>(link->writeFailures));
      link->writeFailing = false;
      link->writeFailures = 0;
    }
    return;
  }
  if (!link->writeFailing) {
    Log::log(DEBUG_Network,
             "link %d: stream write failed (%s: %s); packets are dropped until writes "
             "succeed again\n",
             link->id, aError_GetErrorText(err), aError_GetErrorDescription(err));
    link->writeFailing = true;
  }
  link->writeFailures += packets;
}

static aErr sWritePacket(aLink* link, const aPacket* p) {
  uint8_t wire[aPACKET_MAXWIRE];
  size_t n = 0;
  aErr err = aPacket_GetBytes(p, wire, sizeof(wire), &n);
  if (err == aErrNone) err = aStream_Write(link->stream, wire, n);
  return err;
}

// Appends queued packets to batch while a whole packet still fits.
static uint32_t sFillBatch(aLink* link, uint8_t* batch, size_t* length) {
  uint32_t count = 0;
  while (*length <= aLINK_POOL_BYTES - aPACKET_MAXWIRE) {
    aPacket* next = aPacketFifo_Get(link->outFifo);
    if (!next) break;
    size_t n = 0;
    if (aPacket_GetBytes(next, batch + *length, aLINK_POOL_BYTES - *length, &n) == aErrNone) {
      *length += n;
      count++;
    }
    aPacket_Destroy(&next);
  }
  return count;
}

void* aLink_OutPipeProcess(void* vpLink) {
  aLink* link = static_cast<aLink*>(vpLink);
  uint8_t batch[aLINK_POOL_BYTES];
  link->outStarted = true;

  while (link->running) {
    aPacket* p = aPacketFifo_Await(link->outFifo, aLINK_THREAD_WAIT_MS);
    if (!p) continue;
    aErr err;
    uint32_t packets = 1;
    if (!link->pooled) {
      err = sWritePacket(link, p);
    } else {
      size_t length = 0;
      err = aPacket_GetBytes(p, batch, sizeof(batch), &length);
      if (err == aErrNone) {
        packets += sFillBatch(link, batch, &length);
        err = aStream_Write(link->stream, batch, length);
      }
    }
    sNoteWriteResult(link, err, packets);
    aLink_LogPacket(link, aLINK_LOG_OUTBOUND, p);
    aPacket_Destroy(&p);
  }

  // Stopping: whatever is still queued (the route-off packet among it) goes
  // out packet by packet.
  for (aPacket* p = aPacketFifo_Get(link->outFifo); p; p = aPacketFifo_Get(link->outFifo)) {
    sNoteWriteResult(link, sWritePacket(link, p), 1);
    aPacket_Destroy(&p);
  }
  return NULL;
}
