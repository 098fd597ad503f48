// Private to the link engine: the reader and writer thread procedures and the
// helpers they share with the per-link operations.
#pragma once

#include <chrono>
#include <thread>

#include "common/aLinkManagerInternal.h"

// Thread procedures; the argument is the aLink record.
void* aLink_InPipeProcess(void* vpLink);
void* aLink_OutPipeProcess(void* vpLink);

// Queues one sync request (aLINK_SYNC_REQUESTS empty packets to cmdMAGIC) for
// the writer. Returns the result of queueing.
aErr aLink_QueueSyncRequest(aLink* link);

// Records packet in the link's packet log, when one is on.
void aLink_LogPacket(aLink* link, uint8_t direction, const aPacket* packet);

// While unaligned and idle the reader repeats its sync request this often.
#define aLINK_SYNC_REPEAT_MS 50
// Longest single wait of either thread, so that a stop is noticed promptly.
#define aLINK_THREAD_WAIT_MS 50
// Pause after a failed stream read.
#define aLINK_READ_ERROR_PAUSE_MS 100
// Number of sync request packets sent at once.
#define aLINK_SYNC_REQUESTS 6

// Sleeps the calling link thread or caller for ms milliseconds.
inline void aLink_SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
