#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "common/aStreamsocket.h"
#include "common/aTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr int kMaxWriteAttempts = 10;
constexpr uint64_t kWritePauseMs = 60;
constexpr uint64_t kClosePauseMs = 10;
// Pacing of waits while no answer can come (not connected, peer closed).
constexpr uint32_t kIdlePauseMs = 100;

// The reading and the writing thread share one record. Both may meet a
// broken connection; the exclusive lock makes one of them reconnect while
// the other's socket calls are held off, and the generation number tells the
// second one that the connection it saw fail has already been replaced.
struct SocketStream {
  uint16_t port = 0;
  struct sockaddr_in address {};
  int sock = -1;                       // guarded by lock
  std::atomic<uint32_t> flags{0};      // bit 0: connected
  std::atomic<uint64_t> generation{0}; // connections made so far
  std::atomic<bool> peerClosed{false}; // the peer ended its side
  std::shared_mutex lock;
  uint16_t check = 0;
};

constexpr uint32_t kConnected = 1;

bool sValid(const SocketStream* s) { return s && s->check == kSocketCheck; }
bool sConnected(const SocketStream* s) { return s->flags.load() & kConnected; }

// Caller holds the lock exclusively.
void sSocketStreamClose(SocketStream* s) {
  s->flags.fetch_and(~kConnected);
  if (s->sock >= 0) close(s->sock);
  s->sock = -1;
  aTime_MSSleep(kClosePauseMs);
}

aErr sConnectError(int error) {
  switch (error) {
    case ETIMEDOUT:
    case ECONNREFUSED:
    case EAGAIN:
    case ECONNRESET:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

// Caller holds the lock exclusively.
aErr sSocketStreamSetOptions(SocketStream* s) {
  int on = 1;
  struct timeval noTimeout = {0, 0};
  struct linger reset = {1, 0};  // closing resets the connection at once
  if (setsockopt(s->sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
      setsockopt(s->sock, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
      setsockopt(s->sock, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) != 0 ||
      ioctl(s->sock, FIONBIO, &on) != 0)
    return aErrIO;
  return aErrNone;
}

// Connects without waiting longer than aSOCKET_CONNECT_TIMEOUT_MS. Caller
// holds the lock exclusively.
aErr sSocketStreamResetLocked(SocketStream* s) {
  if (!sValid(s)) return aErrInitialization;
  if (s->sock >= 0) sSocketStreamClose(s);
  s->sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s->sock < 0) {
    s->sock = -1;
    return aErrIO;
  }
  int error = 0;
  if (connect(s->sock, reinterpret_cast<const struct sockaddr*>(&s->address),
              sizeof(s->address)) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      struct pollfd p = {s->sock, POLLOUT, 0};
      int n;
      do {
        n = poll(&p, 1, aSOCKET_CONNECT_TIMEOUT_MS);
      } while (n < 0 && errno == EINTR);
      if (n == 0) {
        error = ETIMEDOUT;
      } else if (n < 0) {
        error = errno;
      } else {
        socklen_t len = sizeof(error);
        if (getsockopt(s->sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
  }
  if (error != 0) {
    close(s->sock);
    s->sock = -1;
    return sConnectError(error);
  }
  s->flags.fetch_or(kConnected);
  s->peerClosed = false;
  s->generation.fetch_add(1);
  return sSocketStreamSetOptions(s);
}

// Reconnects unless another thread already replaced the connection that the
// caller saw fail (seen = the generation the caller used).
aErr sSocketStreamReconnect(SocketStream* s, uint64_t seen) {
  std::unique_lock<std::shared_mutex> hold(s->lock);
  if (s->generation.load() != seen && sConnected(s)) return aErrNone;
  s->flags.fetch_and(~kConnected);
  return sSocketStreamResetLocked(s);
}

bool sBroken(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

// One peek of one byte: the byte count, or -1 with *error set.
ssize_t sPeek(SocketStream* s, uint8_t* byte, int* error, uint64_t* seen) {
  std::shared_lock<std::shared_mutex> hold(s->lock);
  *seen = s->generation.load();
  const ssize_t n = recv(s->sock, byte, 1, MSG_PEEK | MSG_DONTWAIT);
  *error = n < 0 ? errno : 0;
  return n;
}

aErr sSocketStreamGet(uint8_t* pData, void* ref) {
  SocketStream* s = static_cast<SocketStream*>(ref);
  if (!sValid(s) || !pData) return aErrParam;
  if (!sConnected(s)) return aErrConnection;
  uint8_t byte = 0;
  int error = 0;
  uint64_t seen = 0;
  ssize_t n = sPeek(s, &byte, &error, &seen);
  if (n < 0 && sBroken(error)) {
    const aErr err = sSocketStreamReconnect(s, seen);
    if (err != aErrNone) return err;
    n = sPeek(s, &byte, &error, &seen);
  }
  if (n < 0) {
    if (error == EAGAIN || error == EWOULDBLOCK) return aErrNotReady;
    return aErrConnection;
  }
  if (n == 0) {
    // Only this connection's end counts; a newer one may already be up.
    std::shared_lock<std::shared_mutex> hold(s->lock);
    if (s->generation.load() == seen) s->peerClosed = true;
    return aErrNotReady;
  }
  std::shared_lock<std::shared_mutex> hold(s->lock);
  n = recv(s->sock, pData, 1, MSG_DONTWAIT);
  if (n == 1) return aErrNone;
  error = n < 0 ? errno : 0;
  if (n == 0 || error == EAGAIN || error == EWOULDBLOCK) return aErrEOF;
  if (sBroken(error)) return aErrNotReady;
  return aErrIO;
}

aErr sSocketStreamWrite(const uint8_t* pData, uint64_t length, void* ref) {
  SocketStream* s = static_cast<SocketStream*>(ref);
  if (!sValid(s) || (length && !pData)) return aErrParam;
  if (!sConnected(s)) return aErrConnection;
  uint64_t sent = 0;
  int attempts = 0;
  while (sent < length) {
    if (attempts >= kMaxWriteAttempts) return aErrWrite;
    ssize_t n;
    int error;
    uint64_t seen;
    {
      std::shared_lock<std::shared_mutex> hold(s->lock);
      seen = s->generation.load();
      n = send(s->sock, pData + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      error = n < 0 ? errno : 0;
    }
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
      if (sent < length) {
        attempts = 1;
        aTime_MSSleep(kWritePauseMs);
      }
    } else if (n == 0 || error == EAGAIN || error == EWOULDBLOCK) {
      ++attempts;
      aTime_MSSleep(kWritePauseMs);
    } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
      const aErr err = sSocketStreamReconnect(s, seen);
      if (err != aErrNone) return err;
      ++attempts;
      aTime_MSSleep(kWritePauseMs);
    } else {
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr sSocketStreamPut(uint8_t data, void* ref) {
  return sSocketStreamWrite(&data, 1, ref);
}

aErr sSocketStreamWait(void* ref, uint32_t timeoutMs) {
  SocketStream* s = static_cast<SocketStream*>(ref);
  if (!sValid(s)) return aErrParam;
  // Nothing can arrive: without a connection get fails at once, and a closed
  // peer keeps the socket readable forever. Pace the reader instead.
  if (!sConnected(s) || s->peerClosed.load()) {
    aTime_MSSleep(timeoutMs < kIdlePauseMs ? timeoutMs : kIdlePauseMs);
    return sConnected(s) ? aErrTimeout : aErrNone;
  }
  std::shared_lock<std::shared_mutex> hold(s->lock);
  struct pollfd p = {s->sock, POLLIN, 0};
  const int n = poll(&p, 1, static_cast<int>(timeoutMs > 60000 ? 60000 : timeoutMs));
  return n > 0 ? aErrNone : aErrTimeout;
}

aErr sSocketStreamDelete(void* ref) {
  SocketStream* s = static_cast<SocketStream*>(ref);
  if (!sValid(s)) return aErrIO;
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    if (s->sock >= 0) sSocketStreamClose(s);
    s->flags = 0;
  }
  s->check = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* pStream) {
  if (!pStream) return aErrResource;
  *pStream = nullptr;
  SocketStream* s = new (std::nothrow) SocketStream;
  if (!s) return aErrResource;
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  s->check = kSocketCheck;
  aErr err;
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    err = sSocketStreamResetLocked(s);
  }
  aStreamRef stream = nullptr;
  if (err == aErrNone)
    stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                            sSocketStreamDelete, s);
  if (!stream) {
    sSocketStreamDelete(s);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sSocketStreamWait);
  *pStream = stream;
  return aErrNone;
}

aErr aStream_CreateClient(uint32_t address, uint32_t port, aStreamRef* pStream) {
  return aStream_CreateSocket(address, static_cast<uint16_t>(port), pStream);
}
