#include "tests/link/socket_stream.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct SocketRef {
  int fd = -1;
  uint8_t buffer[4096];
  size_t head = 0;
  size_t tail = 0;
  std::atomic<bool>* failWrites = nullptr;
  std::atomic<uint64_t>* getCalls = nullptr;
  std::atomic<uint64_t>* writeCalls = nullptr;
};

aErr sGet(uint8_t* pData, void* ref) {
  SocketRef* s = static_cast<SocketRef*>(ref);
  if (s->getCalls) (*s->getCalls)++;
  if (s->head == s->tail) {
    ssize_t n = recv(s->fd, s->buffer, sizeof(s->buffer), MSG_DONTWAIT);
    if (n == 0) return aErrEOF;
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? aErrNotReady
                                                                                 : aErrIO;
    s->head = 0;
    s->tail = static_cast<size_t>(n);
  }
  *pData = s->buffer[s->head++];
  return aErrNone;
}

aErr sWrite(const uint8_t* pData, uint64_t length, void* ref) {
  SocketRef* s = static_cast<SocketRef*>(ref);
  if (s->writeCalls) (*s->writeCalls)++;
  if (s->failWrites && s->failWrites->load()) return aErrIO;
  ssize_t n = send(s->fd, pData, length, MSG_NOSIGNAL);
  return n == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}

aErr sPut(uint8_t data, void* ref) { return sWrite(&data, 1, ref); }

aErr sWait(void* ref, uint32_t timeoutMs) {
  SocketRef* s = static_cast<SocketRef*>(ref);
  if (s->head != s->tail) return aErrNone;
  pollfd p{s->fd, POLLIN, 0};
  int n = poll(&p, 1, static_cast<int>(timeoutMs));
  if (n == 0) return aErrTimeout;
  return aErrNone;  // input, hang-up, error or a signal: let get find out
}

aErr sWaitAlwaysReady(void*, uint32_t) { return aErrNone; }

aErr sDelete(void* ref) {
  SocketRef* s = static_cast<SocketRef*>(ref);
  int rc = close(s->fd);
  delete s;
  return rc == 0 ? aErrNone : aErrIO;
}

}  // namespace

aErr SocketStream_Create(aStreamRef* stream, int* peerFd, const SocketStreamOptions& options) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return aErrResource;
  SocketRef* ref = new SocketRef;
  ref->fd = fds[0];
  ref->failWrites = options.failWrites;
  ref->getCalls = options.getCalls;
  ref->writeCalls = options.writeCalls;
  *stream = aStream_Create(sGet, sPut, sWrite, sDelete, ref);
  if (!*stream) {
    close(fds[0]);
    close(fds[1]);
    delete ref;
    return aErrMemory;
  }
  if (options.withWait) aStream_SetWaitProc(*stream, options.waitAlwaysReady ? sWaitAlwaysReady : sWait);
  *peerFd = fds[1];
  return aErrNone;
}
