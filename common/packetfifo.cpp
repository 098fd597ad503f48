// Packet queues behind 64-bit handles. A process-wide dictionary maps handles
// to shared queue objects; every operation looks its queue up under the
// dictionary mutex, keeps a shared reference and then works under the queue's
// own mutex, so a queue destroyed meanwhile stays in memory until the
// operation ends. The two mutexes are never held together.
#include "common/packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;
using SerialPacket = std::pair<int64_t, OwnedPacket>;
using Clock = std::chrono::steady_clock;

class packetFifo {
 public:
  std::deque<SerialPacket> packets;
  std::condition_variable cond;
  std::mutex lock;
  std::atomic<bool> alive{true};
  std::atomic<int64_t> windowStart{0};
  std::atomic<int64_t> nextId{0};

  // Callers hold lock.
  void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().first; }
  void clearAndSyncWindow() {
    packets.clear();
    syncWindow();
  }
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator it) {
    packets.erase(it);
    syncWindow();
  }
  // Hands out a copy of the element and removes it; when the copy fails the
  // element stays queued.
  aPacket* steal(std::deque<SerialPacket>::iterator it) {
    aPacket* copy = aPacket_Copy(it->second.get());
    if (copy) eraseAndSyncWindow(it);
    return copy;
  }
  std::deque<SerialPacket>::iterator findFirst(aPacketFilter filter, void* ref) {
    for (auto it = packets.begin(); it != packets.end(); ++it)
      if (filter(it->second.get(), ref)) return it;
    return packets.end();
  }
};

std::mutex gpPacketFifoDictionaryMutex;
std::map<aPacketFifoHandle, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
aPacketFifoHandle gpSequentialId = 1;

std::shared_ptr<packetFifo> sGetFifo(aPacketFifoHandle handle) {
  std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(handle);
  return it == gpPacketFifoDictionary.end() ? nullptr : it->second;
}

std::shared_ptr<packetFifo> sExtractFifo(aPacketFifoHandle handle) {
  std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(handle);
  if (it == gpPacketFifoDictionary.end()) return nullptr;
  std::shared_ptr<packetFifo> fifo = std::move(it->second);
  gpPacketFifoDictionary.erase(it);
  return fifo;
}

Clock::time_point sDeadline(uint32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create(void) {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
    aPacketFifoHandle handle = gpSequentialId++;
    if (handle == 0) handle = gpSequentialId++;
    gpPacketFifoDictionary.emplace(handle, std::move(fifo));
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* pHandle) {
  if (!pHandle) return aErrParam;
  try {
    std::shared_ptr<packetFifo> fifo = sExtractFifo(*pHandle);
    if (!fifo) return aErrNotFound;
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      fifo->clearAndSyncWindow();
      fifo->alive = false;
      fifo->cond.notify_all();
    }
    *pHandle = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

uint32_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> guard(fifo->lock);
  return static_cast<uint32_t>(fifo->packets.size());
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return aErrParam;
  OwnedPacket copy(aPacket_Copy(packet));
  if (!copy) return aErrParam;
  std::lock_guard<std::mutex> guard(fifo->lock);
  if (!fifo->alive) return aErrParam;
  try {
    fifo->packets.emplace_back(fifo->nextId++, std::move(copy));
  } catch (...) {
    return aErrResource;
  }
  fifo->syncWindow();
  if (fifo->packets.size() > aPACKETFIFO_MAXPACKETS) {
    // Nobody is reading: drop everything rather than grow without bound.
    fifo->clearAndSyncWindow();
    return aErrNone;
  }
  fifo->cond.notify_all();
  return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) {
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return NULL;
  std::lock_guard<std::mutex> guard(fifo->lock);
  if (fifo->packets.empty()) return NULL;
  return fifo->steal(fifo->packets.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs) {
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return NULL;
  const Clock::time_point deadline = sDeadline(timeoutMs);
  std::unique_lock<std::mutex> guard(fifo->lock);
  fifo->cond.wait_until(guard, deadline,
                        [&] { return !fifo->packets.empty() || !fifo->alive; });
  if (fifo->packets.empty()) return NULL;
  return fifo->steal(fifo->packets.begin());
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, void* ref) {
  if (!filter) return NULL;
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return NULL;
  std::lock_guard<std::mutex> guard(fifo->lock);
  auto it = fifo->findFirst(filter, ref);
  return it == fifo->packets.end() ? NULL : fifo->steal(it);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, void* ref,
                                uint32_t timeoutMs) {
  if (!filter) return NULL;
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return NULL;
  const Clock::time_point deadline = sDeadline(timeoutMs);
  std::unique_lock<std::mutex> guard(fifo->lock);
  // Ids up to lastOffered have been shown to the filter in this call.
  int64_t lastOffered = fifo->windowStart - 1;
  // Valid only while found is true: other threads change the queue while
  // this one waits.
  bool found = false;
  std::deque<SerialPacket>::iterator match;
  auto satisfied = [&] {
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
      if (it->first <= lastOffered) continue;
      lastOffered = it->first;
      if (filter(it->second.get(), ref)) {
        match = it;
        found = true;
        return true;
      }
    }
    return !fifo->alive.load();
  };
  fifo->cond.wait_until(guard, deadline, satisfied);
  if (!found || !fifo->alive) return NULL;
  return fifo->steal(match);
}

uint32_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, void* ref) {
  if (!filter) return 0;
  std::shared_ptr<packetFifo> fifo = sGetFifo(handle);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> guard(fifo->lock);
  const size_t before = fifo->packets.size();
  std::deque<SerialPacket> kept;
  for (auto& element : fifo->packets)
    if (!filter(element.second.get(), ref)) kept.push_back(std::move(element));
  fifo->packets.swap(kept);
  fifo->syncWindow();
  return static_cast<uint32_t>(before - fifo->packets.size());
}
