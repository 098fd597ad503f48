// Background log writer: a worker thread calling a callback that writes into
// the logger's file. Built on the file, thread and time services.
#include "common/aLogger.h"

#include <atomic>
#include <new>

#include "common/aThread.h"
#include "common/aTime.h"

namespace {
constexpr uint16_t kLoggerCheck = 0xDEED;
// Pause after a call that had nothing to write, so that an idle worker
// does not spin.
constexpr uint64_t kIdlePauseMs = 5;
}  // namespace

struct aLogger {
  uint32_t value;
  aLoggerProc callback;
  aFileHandle file;
  aThreadHandle worker;        // touched by the controlling thread only
  std::atomic<bool> running;   // written by the controller, read by the worker
  uint16_t check;
};

namespace {

// The logger whose worker runs on this thread, if any.
thread_local const aLogger* tCurrentLogger = nullptr;

bool sValid(const aLogger* l) { return l && l->check == kLoggerCheck; }

void* sWorker(void* vpRef) {
  aLogger* logger = static_cast<aLogger*>(vpRef);
  tCurrentLogger = logger;
  while (logger->running.load(std::memory_order_acquire)) {
    if (logger->callback(logger->file, logger->value) != aErrNone) aTime_MSSleep(kIdlePauseMs);
  }
  tCurrentLogger = nullptr;
  return nullptr;
}

// Joins a worker that has been asked to stop.
aErr sJoin(aLogger* logger) {
  if (!logger->worker) return aErrNone;
  return aThread_Destroy(&logger->worker) == 0 ? aErrNone : aErrUnknown;
}

}  // namespace

aLoggerHandle aLogger_Create(uint32_t value, aLoggerProc callback, const char* path) {
  if (!callback || !path) return nullptr;
  aLogger* logger = new (std::nothrow) aLogger;
  if (!logger) return nullptr;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (!logger->file) {
    delete logger;
    return nullptr;
  }
  aFile_SetUnbuffered(logger->file);
  logger->value = value;
  logger->callback = callback;
  logger->worker = nullptr;
  logger->running.store(false);
  logger->check = kLoggerCheck;
  return logger;
}

aErr aLogger_Enable(aLoggerHandle hLogger) {
  if (!sValid(hLogger)) return aErrParam;
  if (hLogger->running.load(std::memory_order_acquire)) return aErrNone;
  // A worker that stopped itself is joined before a new one starts.
  aErr e = sJoin(hLogger);
  if (e != aErrNone) return e;
  hLogger->running.store(true, std::memory_order_release);
  hLogger->worker = aThread_Create(sWorker, hLogger);
  if (!hLogger->worker) {
    hLogger->running.store(false, std::memory_order_release);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLoggerHandle hLogger) {
  if (!sValid(hLogger)) return aErrParam;
  hLogger->running.store(false, std::memory_order_release);
  // The worker cannot wait for itself; it ends after the current call.
  if (tCurrentLogger == hLogger) return aErrNone;
  return sJoin(hLogger);
}

aErr aLogger_Destroy(aLoggerHandle* phLogger) {
  if (!phLogger || !sValid(*phLogger)) return aErrNone;
  aLogger* logger = *phLogger;
  // Freeing the logger under its own running worker would pull the record
  // from under it.
  if (tCurrentLogger == logger) return aErrBusy;
  aErr e = aLogger_Disable(logger);
  if (e != aErrNone) return e;
  aFile_Close(&logger->file);
  logger->check = 0;
  delete logger;
  *phLogger = nullptr;
  return aErrNone;
}
