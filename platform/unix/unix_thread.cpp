// Threads over pthreads.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <new>

#include "common/aThread.h"

struct aThread {
  pthread_t thread;
};

aThreadHandle aThread_Create(aThreadProc entry, void* vpRef) {
  if (!entry) return nullptr;
  aThread* t = new (std::nothrow) aThread;
  if (!t) return nullptr;
  if (pthread_create(&t->thread, nullptr, entry, vpRef) != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

int aThread_Destroy(aThreadHandle* phThread) {
  if (!phThread || !*phThread) return EINVAL;
  aThread* t = *phThread;
  int result = pthread_join(t->thread, nullptr);
  // A thread that cannot be joined (e.g. one destroying its own handle) is
  // detached so that its resources are released when it ends.
  if (result != 0) pthread_detach(t->thread);
  delete t;
  *phThread = nullptr;
  return result;
}

void aThread_Yield(void) {
  struct timespec pause = {0, 5000};
  nanosleep(&pause, nullptr);
}
