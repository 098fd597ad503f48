#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "common/aFile.h"
#include "common/aLogger.h"
#include "common/aTime.h"
#include "tests/foundation/TempDir.h"

namespace {

// What the callbacks see, chosen by the value given at creation.
struct Probe {
  std::atomic<int> calls{0};
  std::atomic<int> toWrite{0};           // records still to write
  std::atomic<aLoggerHandle> self{nullptr};  // for callbacks that act on their logger
  std::atomic<aErr> selfResult{aErrUnknown};
};

Probe gProbes[4];

// Writes one numbered line per call while records are due; idle otherwise.
aErr writeRecords(aFileHandle file, uint32_t value) {
  Probe& p = gProbes[value];
  int n = p.calls.fetch_add(1);
  if (p.toWrite.load() <= 0) return aErrNotFound;
  p.toWrite.fetch_sub(1);
  return aFile_Printf(file, "record %d of %u\n", n, value);
}

// Returns at once with nothing to do, every time.
aErr alwaysIdle(aFileHandle, uint32_t value) {
  gProbes[value].calls.fetch_add(1);
  return aErrNotFound;
}

// Stops its own logger on the first call.
aErr stopSelf(aFileHandle, uint32_t value) {
  Probe& p = gProbes[value];
  if (p.calls.fetch_add(1) == 0) p.selfResult = aLogger_Disable(p.self.load());
  return aErrNone;
}

// Tries to destroy its own logger, then stops it.
aErr destroySelf(aFileHandle, uint32_t value) {
  Probe& p = gProbes[value];
  if (p.calls.fetch_add(1) == 0) {
    aLoggerHandle h = p.self.load();
    p.selfResult = aLogger_Destroy(&h);
    aLogger_Disable(h);
  }
  return aErrNone;
}

// Waits (bounded) until cond holds.
template <typename Cond>
bool waitFor(Cond cond, uint64_t ms = 5000) {
  uint64_t end = aTime_GetMSTicks() + ms;
  while (!cond()) {
    if (aTime_GetMSTicks() > end) return false;
    aTime_MSSleep(1);
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::string text;
  aFileHandle f = aFile_Open(path.c_str(), aFileModeReadOnly);
  if (!f) return text;
  uint8_t chunk[256];
  size_t n;
  while (aFile_Read(f, chunk, sizeof chunk, &n) == aErrNone) text.append((char*)chunk, n);
  aFile_Close(&f);
  return text;
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (Probe& p : gProbes) {
      p.calls = 0;
      p.toWrite = 0;
      p.self = nullptr;
      p.selfResult = aErrUnknown;
    }
  }
  TempDir dir_;
};

TEST_F(LoggerTest, WorkerWritesWhileEnabledAndStopsWhenDisabled) {
  std::string path = dir_ / "packets.log";
  aLoggerHandle logger = aLogger_Create(1, writeRecords, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  aTime_MSSleep(20);
  EXPECT_EQ(gProbes[1].calls.load(), 0);  // created stopped

  gProbes[1].toWrite = 3;
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running
  ASSERT_TRUE(waitFor([] { return gProbes[1].toWrite.load() == 0; }));
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  int callsAtStop = gProbes[1].calls.load();
  aTime_MSSleep(30);
  EXPECT_EQ(gProbes[1].calls.load(), callsAtStop);  // the worker has ended
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);    // not running

  // The file is unbuffered: everything is there before destroy.
  EXPECT_EQ(readFile(path), "record 0 of 1\nrecord 1 of 1\nrecord 2 of 1\n");

  // A second run appends.
  gProbes[1].toWrite = 1;
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitFor([] { return gProbes[1].toWrite.load() == 0; }));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);  // stops the worker itself
  EXPECT_EQ(logger, nullptr);
  std::string text = readFile(path);
  EXPECT_EQ(text.rfind("record 0 of 1\nrecord 1 of 1\nrecord 2 of 1\nrecord ", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST_F(LoggerTest, IdleWorkerDoesNotSpin) {
  aLoggerHandle logger = aLogger_Create(2, alwaysIdle, (dir_ / "idle.log").c_str());
  ASSERT_NE(logger, nullptr);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  aTime_MSSleep(200);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  int calls = gProbes[2].calls.load();
  EXPECT_GT(calls, 0);
  // About one call per 5 ms pause; a spinning worker makes hundreds of
  // thousands.
  EXPECT_LT(calls, 200);
}

TEST_F(LoggerTest, WorkerCanStopItself) {
  aLoggerHandle logger = aLogger_Create(3, stopSelf, (dir_ / "self.log").c_str());
  ASSERT_NE(logger, nullptr);
  gProbes[3].self = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitFor([] { return gProbes[3].selfResult.load() != aErrUnknown; }));
  EXPECT_EQ(gProbes[3].selfResult.load(), aErrNone);
  aTime_MSSleep(20);
  EXPECT_EQ(gProbes[3].calls.load(), 1);
  // It can be started again after stopping itself.
  gProbes[3].calls = 0;
  gProbes[3].selfResult = aErrUnknown;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitFor([] { return gProbes[3].selfResult.load() != aErrUnknown; }));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, WorkerCannotDestroyItsOwnLogger) {
  aLoggerHandle logger = aLogger_Create(0, destroySelf, (dir_ / "destroy.log").c_str());
  ASSERT_NE(logger, nullptr);
  gProbes[0].self = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitFor([] { return gProbes[0].selfResult.load() != aErrUnknown; }));
  EXPECT_EQ(gProbes[0].selfResult.load(), aErrBusy);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, BadArguments) {
  EXPECT_EQ(aLogger_Create(0, writeRecords, (dir_ / "missing/dir/x.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(0, writeRecords, nullptr), nullptr);
  EXPECT_EQ(aLogger_Create(0, nullptr, (dir_ / "x.log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLoggerHandle none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

}  // namespace
