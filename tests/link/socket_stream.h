// A stream over one end of a socket pair, for tests and benchmarks. It reads
// like the real transports (a receive buffer, "not ready" at once when empty)
// and offers the wait operation over poll(). The pair is SOCK_SEQPACKET, so
// the peer sees every stream write as one message and can check batching.
#pragma once

#include <atomic>

#include "common/aStream.h"

struct SocketStreamOptions {
  bool withWait = true;           // install the wait operation
  bool waitAlwaysReady = false;   // a faulty wait that always reports input
  std::atomic<bool>* failWrites = nullptr;  // when set and true, writes fail with aErrIO
  std::atomic<uint64_t>* getCalls = nullptr;  // when set, counts calls of get
  std::atomic<uint64_t>* writeCalls = nullptr;  // when set, counts calls of put and write
};

// Creates the pair; *stream reads and writes one end (and closes it when
// destroyed), *peerFd is the other end, which the caller closes.
aErr SocketStream_Create(aStreamRef* stream, int* peerFd,
                         const SocketStreamOptions& options = SocketStreamOptions());
