// Mutexes over pthreads.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <new>

#include "common/aMutex.h"

namespace {
constexpr uint16_t kMutexCheck = 0xACED;
}

struct aMutex {
  pthread_mutex_t mutex;
  char name[aMUTEX_MAXNAMELEN + 1];
  uint16_t check;
};

namespace {

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

aErr aMutex_Lock(aMutexHandle hMutex) {
  if (!sValid(hMutex)) return aErrParam;
  return sMap(pthread_mutex_lock(&hMutex->mutex));
}

aErr aMutex_TryLock(aMutexHandle hMutex) {
  if (!sValid(hMutex)) return aErrParam;
  return sMap(pthread_mutex_trylock(&hMutex->mutex));
}

aErr aMutex_Unlock(aMutexHandle hMutex) {
  if (!sValid(hMutex)) return aErrParam;
  return sMap(pthread_mutex_unlock(&hMutex->mutex));
}

aErr aMutex_Destroy(aMutexHandle* phMutex) {
  if (!phMutex || !*phMutex) return aErrParam;
  aMutex* m = *phMutex;
  if (!sValid(m)) {
    *phMutex = nullptr;
    return aErrParam;
  }
  int error = pthread_mutex_destroy(&m->mutex);
  // A mutex still held is left alone: its holder will unlock it, which
  // must not touch freed memory. The caller keeps the handle to retry.
  if (error == EBUSY) return aErrBusy;
  m->check = 0;
  delete m;
  *phMutex = nullptr;
  return sMap(error);
}
