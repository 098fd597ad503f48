// Mutexes over pthreads.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <new>

#include "common/aMutex.h"

namespace {
constexpr uint16_t kMutexCheck = 0xACED;
}

struct aMutex {
  pthread_mutex_t mutex;
  // Identity of the holding thread (see sSelf), null when free. Written only
  // by the holder while it holds the mutex; another thread may read a stale
  // value but never its own identity.
  std::atomic<const void*> owner;
  char name[aMUTEX_MAXNAMELEN + 1];
  uint16_t check;
};

namespace {

// A per-thread address that tells threads apart.
thread_local char tThreadMark;
const void* sSelf() { return &tThreadMark; }

bool sValid(const aMutex* m) { return m && m->check == kMutexCheck; }

aErr sMap(int error) {
  switch (error) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    case EDEADLK: return aErrDuplicate;
    case EPERM: return aErrPermission;
    case EAGAIN: return aErrResource;
    default: return aErrUnknown;
  }
}

}  // namespace

aMutexHandle aMutex_Create(const char* name) {
  if (name && strnlen(name, aMUTEX_MAXNAMELEN + 1) > aMUTEX_MAXNAMELEN) return nullptr;
  aMutex* m = new (std::nothrow) aMutex;
  if (m) m->owner.store(nullptr);
  if (!m) return nullptr;
  // Error-checking (still non-recursive): locking twice from one thread
  // reports a deadlock instead of hanging, and unlocking a mutex the caller
  // does not hold is refused instead of corrupting it.
  pthread_mutexattr_t attr;
  bool ok = pthread_mutexattr_init(&attr) == 0;
  if (ok) {
    ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
         pthread_mutex_init(&m->mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
  }
  if (!ok) {
    delete m;
    return nullptr;
  }
  strcpy(m->name, name ? name : "");
  m->check = kMutexCheck;
  return m;
}

const char* aMutex_Identifier(aMutexHandle hMutex) { return sValid(hMutex) ? hMutex->name : nullptr; }

// Misuse by the calling thread (locking twice, unlocking a mutex it does not
// hold) is caught before the system call: it would hang or corrupt a plain
// mutex.
aErr aMutex_Lock(aMutexHandle hMutex) {
  if (!sValid(hMutex)) return aErrParam;
  if (hMutex->owner.load(std::memory_order_relaxed) == sSelf()) return aErrDuplicate;
  aErr e = sMap(pthread_mutex_lock(&hMutex->mutex));
  if (e == aErrNone) hMutex->owner.store(sSelf(), std::memory_order_relaxed);
  return e;
}

aErr aMutex_TryLock(aMutexHandle hMutex) {
  if (!sValid(hMutex)) return aErrParam;
  if (hMutex->owner.load(std::memory_order_relaxed) == sSelf()) return aErrBusy;
  aErr e = sMap(pthread_mutex_trylock(&hMutex->mutex));
  if (e == aErrNone) hMutex->owner.store(sSelf(), std::memory_order_relaxed);
  return e;
}

aErr aMutex_Unlock(aMutexHandle hMutex) {
  if (!sValid(hMutex)) return aErrParam;
  if (hMutex->owner.load(std::memory_order_relaxed) != sSelf()) return aErrPermission;
  hMutex->owner.store(nullptr, std::memory_order_relaxed);
  aErr e = sMap(pthread_mutex_unlock(&hMutex->mutex));
  if (e != aErrNone) hMutex->owner.store(sSelf(), std::memory_order_relaxed);
  return e;
}

aErr aMutex_Destroy(aMutexHandle* phMutex) {
  if (!phMutex || !*phMutex) return aErrParam;
  aMutex* m = *phMutex;
  if (!sValid(m)) {
    *phMutex = nullptr;
    return aErrParam;
  }
  if (m->owner.load(std::memory_order_relaxed) != nullptr) return aErrBusy;
  int error = pthread_mutex_destroy(&m->mutex);
  // A mutex still held is left alone: its holder will unlock it, which
  // must not touch freed memory. The caller keeps the handle to retry.
  if (error == EBUSY) return aErrBusy;
  m->check = 0;
  delete m;
  *phMutex = nullptr;
  return sMap(error);
}
