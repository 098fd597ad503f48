// Time over the monotonic clock.
#include <errno.h>
#include <time.h>

#include "common/aTime.h"

namespace {

// Longest single sleep, in microseconds.
constexpr uint64_t kSliceUs = 999999;

bool sNow(struct timespec* now) { return clock_gettime(CLOCK_MONOTONIC, now) == 0; }

void sAddUs(struct timespec* t, uint64_t us) {
  t->tv_sec += (time_t)(us / 1000000);
  t->tv_nsec += (long)(us % 1000000) * 1000;
  if (t->tv_nsec >= 1000000000L) {
    t->tv_sec += 1;
    t->tv_nsec -= 1000000000L;
  }
}

// Sleeps until the monotonic time reaches deadline; signals do not end the
// sleep early.
void sSleepUntil(const struct timespec* deadline) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, deadline, nullptr) == EINTR) {
  }
}

}  // namespace

uint64_t aTime_GetMSTicks(void) {
  struct timespec now;
  if (!sNow(&now)) return 0;
  return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

void aTime_MSSleep(uint64_t ms) {
  if (ms == 0) return;
  struct timespec at;
  if (!sNow(&at)) return;
  // Saturate rather than wrap for absurd durations.
  uint64_t remaining = ms > UINT64_MAX / 1000 ? UINT64_MAX : ms * 1000;
  while (remaining > 0) {
    uint64_t slice = remaining < kSliceUs ? remaining : kSliceUs;
    sAddUs(&at, slice);
    sSleepUntil(&at);
    remaining -= slice;
  }
}
