#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <string>

#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/aTime.h"

namespace {

TEST(Mutex, NameUpTo255Characters) {
  std::string name255(255, 'n');
  std::string name256(256, 'n');
  EXPECT_EQ(aMutex_Create(name256.c_str()), nullptr);
  aMutexHandle m = aMutex_Create(name255.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Identifier(m), name255);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);

  aMutexHandle unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

TEST(Mutex, NullHandlesAreRefused) {
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  aMutexHandle none = nullptr;
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
}

TEST(Mutex, MisuseIsReportedNotHung) {
  aMutexHandle m = aMutex_Create("misuse");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Unlock(m), aErrPermission);  // not held
  EXPECT_EQ(aMutex_Lock(m), aErrNone);
  EXPECT_EQ(aMutex_Lock(m), aErrDuplicate);  // would deadlock
  EXPECT_EQ(aMutex_TryLock(m), aErrBusy);
  // Destroying a held mutex is refused and the handle kept for a retry.
  EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
}

struct Shared {
  aMutexHandle mutex;
  std::atomic<aErr> tryResult{aErrNone};
  std::atomic<aErr> unlockResult{aErrNone};
  long counter = 0;  // guarded by mutex
};

void* tryFromOtherThread(void* vpRef) {
  Shared* s = static_cast<Shared*>(vpRef);
  s->tryResult = aMutex_TryLock(s->mutex);
  s->unlockResult = aMutex_Unlock(s->mutex);
  return nullptr;
}

TEST(Mutex, HeldByAnotherThread) {
  Shared s;
  s.mutex = aMutex_Create("held");
  ASSERT_NE(s.mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(s.mutex), aErrNone);
  aThreadHandle t = aThread_Create(tryFromOtherThread, &s);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(s.tryResult.load(), aErrBusy);
  EXPECT_EQ(s.unlockResult.load(), aErrPermission);
  EXPECT_EQ(aMutex_Unlock(s.mutex), aErrNone);
  aMutex_Destroy(&s.mutex);
}

void* addMany(void* vpRef) {
  Shared* s = static_cast<Shared*>(vpRef);
  for (int i = 0; i < 20000; ++i) {
    if (aMutex_Lock(s->mutex) != aErrNone) return nullptr;
    ++s->counter;
    aMutex_Unlock(s->mutex);
  }
  return nullptr;
}

TEST(Mutex, SerialisesThreads) {
  Shared s;
  s.mutex = aMutex_Create("counter");
  ASSERT_NE(s.mutex, nullptr);
  aThreadHandle threads[4];
  for (aThreadHandle& t : threads) {
    t = aThread_Create(addMany, &s);
    ASSERT_NE(t, nullptr);
  }
  for (aThreadHandle& t : threads) EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(s.counter, 4 * 20000);
  aMutex_Destroy(&s.mutex);
}

void* slowEntry(void* vpRef) {
  aTime_MSSleep(30);
  static_cast<std::atomic<bool>*>(vpRef)->store(true);
  return nullptr;
}

TEST(Thread, DestroyWaitsForTheThread) {
  std::atomic<bool> done{false};
  aThreadHandle t = aThread_Create(slowEntry, &done);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_TRUE(done.load());
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), EINVAL);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
  aThread_Yield();
}

}  // namespace
