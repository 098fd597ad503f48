// Time: a millisecond tick count for durations and time-outs, and sleeping.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Milliseconds from a monotonic clock (unaffected by changes of the system
// time); only differences are meaningful. 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);

// Sleeps for at least ms milliseconds (slices of under a second; signals do
// not cut it short). 0 returns at once.
void aTime_MSSleep(uint64_t ms);

#ifdef __cplusplus
}
#endif
