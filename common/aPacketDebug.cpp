#include "common/aPacketDebug.h"

#include <stdio.h>
#include <stdlib.h>

#include "common/aLinkManagerInternal.h"
#include "common/aMutex.h"

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0) return nullptr;
  aPacketLog* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
  if (!log) return nullptr;
  log->data = static_cast<uint8_t*>(calloc(size, 1));
  if (!log->data) {
    free(log);
    return nullptr;
  }
  log->size = size;
  return log;
}

namespace {

uint32_t sUsed(const aPacketLog* log) {
  return static_cast<uint32_t>(
      (static_cast<uint64_t>(log->writePos) + log->size - log->readPos) %
      log->size);
}

uint8_t sByteAt(const aPacketLog* log, uint64_t offset) {
  return log->data[offset % log->size];
}

}  // namespace

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint32_t length,
                    const uint8_t* bytes) {
  if (!log || !log->data || (length && !bytes)) return aErrParam;
  // The length travels in one byte: a longer entry could never be read back.
  if (length > 255 || static_cast<uint64_t>(length) + 2 >= log->size)
    return aErrOverrun;
  const uint32_t need = length + 2;
  while (log->size - sUsed(log) <= need) {
    const uint32_t oldest = sByteAt(log, static_cast<uint64_t>(log->readPos) + 1);
    log->readPos = static_cast<uint32_t>(
        (static_cast<uint64_t>(log->readPos) + 2 + oldest) % log->size);
  }
  uint64_t pos = log->writePos;
  log->data[pos++ % log->size] = direction;
  log->data[pos++ % log->size] = static_cast<uint8_t>(length);
  for (uint32_t i = 0; i < length; ++i) log->data[pos++ % log->size] = bytes[i];
  log->writePos = static_cast<uint32_t>(pos % log->size);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint32_t* length,
                    uint8_t* out) {
  if (!log || !log->data || !direction || !length) return aErrParam;
  if (log->readPos == log->writePos) return aErrNotFound;
  const uint64_t start = log->readPos;
  const uint32_t entryLength = sByteAt(log, start + 1);
  const uint32_t capacity = *length;
  *direction = sByteAt(log, start);
  *length = entryLength;
  if (capacity < entryLength) return aErrOverrun;
  if (entryLength && !out) return aErrParam;
  for (uint32_t i = 0; i < entryLength; ++i) out[i] = sByteAt(log, start + 2 + i);
  log->readPos = static_cast<uint32_t>((start + 2 + entryLength) % log->size);
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (!log || !*log) return aErrParam;
  free((*log)->data);
  free(*log);
  *log = nullptr;
  return aErrNone;
}

// --- Per-link packet log ---------------------------------------------------

namespace {



// The link's log mutex, made when the link has none yet.
aMutexHandle sLogMutex(aLink* link) {
  if (!link->logMutex) {
    char name[aMUTEX_MAXNAMELEN + 1];
    snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
    link->logMutex = aMutex_Create(name);
  }
  return link->logMutex;
}

}  // namespace

aErr aLink_PacketDebug_SetLogSize(int32_t linkID, int32_t size) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(linkID);
  if (!link || size > aPACKETLOG_MAXSIZE) return aErrParam;
  aMutexHandle mutex = sLogMutex(link.get());
  if (!mutex) return aErrResource;
  aMutex_Lock(mutex);
  aErr err = aErrNone;
  if (link->packetLog)
    err = aErrBusy;
  else
    link->logSize = size < 0 ? 0 : size;
  aMutex_Unlock(mutex);
  return err;
}

aErr aLink_PacketDebug_Enable(int32_t linkID) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(linkID);
  if (!link) return aErrParam;
  aMutexHandle mutex = sLogMutex(link.get());
  if (!mutex) return aErrResource;
  aMutex_Lock(mutex);
  aErr err = aErrNone;
  if (!link->packetLog) {
    if (link->logSize == 0) link->logSize = aPACKETLOG_DEFAULTSIZE;
    link->packetLog = aPacketLog_Create(static_cast<uint32_t>(link->logSize));
    if (link->packetLog) {
      link->logPut = aPacketLog_Put;
      link->logDestroy = aPacketLog_Destroy;
    } else {
      err = aErrResource;
    }
  }
  aMutex_Unlock(mutex);
  return err;
}

aErr aLink_PacketDebug_Disable(int32_t linkID) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(linkID);
  if (!link) return aErrParam;
  if (!link->logMutex) return aErrNotReady;
  aMutex_Lock(link->logMutex);
  const aErr err = link->packetLog ? aErrNone : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Read(int32_t linkID, uint8_t* direction, uint32_t* length,
                            uint8_t* out) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(linkID);
  if (!link) return aErrParam;
  if (!link->logMutex) return aErrNotReady;
  aMutex_Lock(link->logMutex);
  const aErr err = link->packetLog ? aPacketLog_Get(link->packetLog, direction, length, out)
                                   : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Write(int32_t linkID, uint8_t direction, uint32_t length,
                             const uint8_t* bytes) {
  std::shared_ptr<aLink> link = aLinkManager_GetLink(linkID);
  if (!link) return aErrParam;
  if (!link->logMutex) return aErrNotReady;
  aMutex_Lock(link->logMutex);
  const aErr err = link->packetLog ? aPacketLog_Put(link->packetLog, direction, length, bytes)
                                   : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}
