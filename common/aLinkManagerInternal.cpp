// The process-wide table of links: ids, entries, use counts, the legacy
// creation over a caller's stream, destruction and reset; link specifiers.
#include "common/aLinkManagerInternal.h"

#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>

#include "common/aLinkThreads.h"
#include "common/aTime.h"

#define aLINK_RESET_ATTEMPTS 20
#define aLINK_RESET_PAUSE_MS 100

namespace {

// The table: newest entry first; ids only grow.
struct LinkTable {
  std::mutex mutex;  // "aLink_Managed"
  aLinkEntry* head = nullptr;
  int32_t nextID = 1;
};

LinkTable& sTable() {
  static LinkTable table;
  return table;
}

std::mutex gOpenerMutex;
std::map<linkType, aLinkStreamOpener>& sOpeners() {
  static std::map<linkType, aLinkStreamOpener> openers;
  return openers;
}

aLinkStreamOpener sOpenerFor(linkType type) {
  std::lock_guard<std::mutex> guard(gOpenerMutex);
  auto& openers = sOpeners();
  auto it = openers.find(type);
  if (it != openers.end()) return it->second;
  if (isAETHER(type)) {
    it = openers.find(AETHER);
    if (it != openers.end()) return it->second;
  }
  return nullptr;
}

}  // namespace

// --- Link specifiers --------------------------------------------------------

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
  if (spec) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
  linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
  if (copy) memcpy(copy, &spec, sizeof(linkSpec));
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** pSpec) {
  if (!pSpec || !*pSpec) return aErrParam;
  free(*pSpec);
  *pSpec = NULL;
  return aErrNone;
}

// --- Table operations -------------------------------------------------------

int32_t aLinkManager_Create2(int32_t ident0, int32_t ident1, int32_t ident2, linkType type) {
  LinkTable& table = sTable();
  aLinkEntry* entry = new (std::nothrow) aLinkEntry;
  if (!entry) return 0;
  try {
    entry->link = std::make_shared<aLink>();
  } catch (...) {
    delete entry;
    return 0;
  }
  entry->ident0 = ident0;
  entry->ident1 = ident1;
  entry->ident2 = ident2;
  entry->type = type;
  std::lock_guard<std::mutex> guard(table.mutex);
  entry->id = table.nextID++;
  entry->link->id = entry->id;
  entry->next = table.head;
  table.head = entry;
  return entry->id;
}

int32_t aLinkManager_Create(int32_t ident0, int32_t ident1, linkType type) {
  return aLinkManager_Create2(ident0, ident1, 0, type);
}

static aLinkEntry* sLookupLocked(int32_t id) {
  for (aLinkEntry* e = sTable().head; e; e = e->next)
    if (e->id == id) return e;
  return nullptr;
}

aLinkEntry* aLinkManager_LookupEntryByID(int32_t id) {
  std::lock_guard<std::mutex> guard(sTable().mutex);
  return sLookupLocked(id);
}

aLinkEntry* aLinkManager_LookupEntryByIdentifier(int32_t ident0, linkType type) {
  std::lock_guard<std::mutex> guard(sTable().mutex);
  for (aLinkEntry* e = sTable().head; e; e = e->next)
    if (e->ident0 == ident0 && e->type == type) return e;
  return nullptr;
}

aLinkEntry* aLinkManager_ExtractEntry(int32_t id) {
  LinkTable& table = sTable();
  std::lock_guard<std::mutex> guard(table.mutex);
  for (aLinkEntry** p = &table.head; *p; p = &(*p)->next) {
    if ((*p)->id == id) {
      aLinkEntry* entry = *p;
      *p = entry->next;
      entry->next = nullptr;
      return entry;
    }
  }
  return nullptr;
}

int32_t aLinkManager_ChangeUseCount(aLinkEntry* entry, int32_t delta) {
  if (!entry) return 0;
  std::lock_guard<std::mutex> guard(sTable().mutex);
  entry->useCount = static_cast<int16_t>(entry->useCount + delta);
  return entry->useCount;
}

std::shared_ptr<aLink> aLinkManager_GetLink(int32_t id) {
  std::lock_guard<std::mutex> guard(sTable().mutex);
  aLinkEntry* entry = sLookupLocked(id);
  return entry ? entry->link : nullptr;
}

void aLink_SetStreamOpener(linkType type, aLinkStreamOpener opener) {
  std::lock_guard<std::mutex> guard(gOpenerMutex);
  if (opener)
    sOpeners()[type] = opener;
  else
    sOpeners().erase(type);
}

// --- Creation, destruction, reset -----------------------------------------

int32_t aLink_Create(aStreamRef stream) {
  int32_t id = aLinkManager_Create(-1, 0, LINK_TYPE_NONE);
  if (!id) {
    aStream_Destroy(&stream);
    return 0;
  }
  // A link without a stream could never carry a packet: refuse it.
  aErr err = stream ? aErrNone : aErrParam;
  if (aLink_Init(id, stream) != id && !err) err = aErrConnection;
  if (!err) err = aLink_Start(id);
  if (err) {
    aLink_Destroy(&id);
    return 0;
  }
  aLinkManager_ChangeUseCount(aLinkManager_LookupEntryByID(id), 1);
  return id;
}

// Releases what the link record owns, once its threads have stopped. The
// mutexes go with the record itself, when the last reference drops.
static aErr sReleaseLink(aLink* link) {
  aPacketFifoHandle in = link->inFifo.exchange(0);
  aPacketFifoHandle out = link->outFifo.exchange(0);
  aPacketFifo_Destroy(&in);
  aErr err = aPacketFifo_Destroy(&out);
  if (link->rxPacket) aPacket_Destroy(&link->rxPacket);
  if (link->logMutex) {
    aMutex_Lock(link->logMutex);
    if (link->packetLog && link->logDestroy) link->logDestroy(&link->packetLog);
    link->packetLog = nullptr;
    aMutex_Unlock(link->logMutex);
  }
  if (link->stream) aStream_Destroy(&link->stream);
  return err;
}

aErr aLink_Destroy(int32_t* pId) {
  if (!pId) return aErrParam;
  const int32_t id = *pId;
  *pId = 0;
  aLinkEntry* entry = nullptr;
  {
    LinkTable& table = sTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    aLinkEntry* found = sLookupLocked(id);
    if (!found) return aErrParam;
    if (--found->useCount > 0) return aErrNone;
    // Unlink under the same lock, so no second destroy can find it.
    for (aLinkEntry** p = &table.head; *p; p = &(*p)->next) {
      if (*p == found) {
        *p = found->next;
        break;
      }
    }
    entry = found;
  }

  aErr err = aErrUnknown;
  std::shared_ptr<aLink> link = entry->link;
  if (link) {
    if (link->userFilterMutex) {
      aMutex_Lock(link->userFilterMutex);
      link->userFilter = nullptr;
      link->userFilterRef = nullptr;
      aMutex_Unlock(link->userFilterMutex);
    }
    std::lock_guard<std::recursive_mutex> guard(link->control);
    aLink_Stop(link.get());
    if (entry->baseLinkId) {
      int32_t base = entry->baseLinkId;
      aLink_Destroy(&base);
    }
    err = sReleaseLink(link.get());
    link->check = 0;
  }
  delete entry;
  return err;
}

aErr aLink_Reset(int32_t id) {
  aLinkEntry* entry = aLinkManager_LookupEntryByID(id);
  if (!entry || !entry->link) return aErrParam;
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  if (!link) return aErrParam;
  std::lock_guard<std::recursive_mutex> guard(link->control);

  aLink_Stop(link.get());
  aPacketFifoHandle in = link->inFifo.exchange(0);
  aPacketFifoHandle out = link->outFifo.exchange(0);
  aPacketFifo_Destroy(&in);
  aPacketFifo_Destroy(&out);
  if (link->stream) aStream_Destroy(&link->stream);

  const linkType type = entry->type;
  aStreamRef stream = nullptr;
  aErr err = aErrParam;
  if (type == USB || type == TCPIP || isAETHER(type)) {
    aLinkStreamOpener opener = sOpenerFor(type);
    for (int attempt = 0; opener && attempt < aLINK_RESET_ATTEMPTS; attempt++) {
      // USB by serial number, TCPIP by address and port, aEther kinds by
      // address and port: the opener picks what its kind needs.
      err = opener(entry->ident0, entry->ident1, entry->ident2, &stream);
      if (err == aErrNone && stream) break;
      if (err == aErrNone) err = aErrConnection;
      stream = nullptr;
      aLink_SleepMs(aLINK_RESET_PAUSE_MS);
    }
  }
  if (aLink_Init(id, stream) != id) return err ? err : aErrResource;
  if (!stream) return err;
  return aLink_Start(id);
}
