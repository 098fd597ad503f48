// The TCP socket stream against a plain listener on 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "common/aStream.h"
#include "common/aStreamsocket.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A listening socket on a free loopback port; accepts on request.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = Loopback();
    socklen_t len = sizeof(a);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
    }
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    for (int c : accepted_) close(c);
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  // The next connection, waiting up to 2 s; -1 when none came.
  int Accept(int timeoutMs = 2000) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    const int c = accept(fd_, nullptr, nullptr);
    if (c >= 0) accepted_.push_back(c);
    return c;
  }
  // Closes a connection with a reset instead of an orderly close.
  void Reset(int c) {
    linger l = {1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    Close(c);
  }
  void Close(int c) {
    close(c);
    for (int& a : accepted_)
      if (a == c) a = -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> accepted_;
};

Bytes ReadPeer(int fd, size_t count) {
  Bytes out;
  while (out.size() < count) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    uint8_t buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

// Waits for and reads up to count bytes from the stream.
Bytes ReadStream(aStreamRef stream, size_t count) {
  Bytes out;
  for (int i = 0; i < 200 && out.size() < count; ++i) {
    uint8_t b;
    const aErr err = aStream_Read(stream, &b, 1);
    if (err == aErrNone)
      out.push_back(b);
    else
      aStream_Wait(stream, 20);
  }
  return out;
}

struct StreamDeleter {
  void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDeleter>;

class SocketStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.ok());
    aStreamRef raw = nullptr;
    ASSERT_EQ(aStream_CreateSocket(Loopback(), listener.port(), &raw), aErrNone);
    stream.reset(raw);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
  }
  Listener listener;
  StreamPtr stream;
  int peer = -1;
};

TEST(SocketStreamCreate, NothingListening) {
  uint16_t port;
  {
    Listener gone;
    ASSERT_TRUE(gone.ok());
    port = gone.port();
  }
  aStreamRef stream = reinterpret_cast<aStreamRef>(&port);
  EXPECT_EQ(aStream_CreateSocket(Loopback(), port, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(Loopback(), port, nullptr), aErrResource);
  stream = reinterpret_cast<aStreamRef>(&port);
  EXPECT_EQ(aStream_CreateClient(Loopback(), port, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
}

// A listener whose queue is full drops new connection requests, so the
// connection is never accepted: creation gives up after its bounded wait.
TEST(SocketStreamCreate, ConnectionNotAcceptedInTime) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = Loopback();
  socklen_t len = sizeof(a);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(listen(fd, 0), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    fillers.push_back(c);
  }
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateSocket(Loopback(), ntohs(a.sin_port), &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  for (int c : fillers) close(c);
  close(fd);
}

TEST_F(SocketStream, ReadsWithoutWaitingAndWaitsForInput) {
  uint8_t b;
  EXPECT_EQ(stream->getProc(&b, stream->ref), aErrNotReady);
  EXPECT_EQ(aStream_Wait(stream.get(), 20), aErrTimeout);
  const Bytes sent = {0x04, 0x00, 0xFF, 0x80};
  ASSERT_EQ(send(peer, sent.data(), sent.size(), 0), 4);
  EXPECT_EQ(aStream_Wait(stream.get(), 2000), aErrNone);
  EXPECT_EQ(ReadStream(stream.get(), 4), sent);
  EXPECT_EQ(stream->getProc(&b, stream->ref), aErrNotReady);
}

TEST_F(SocketStream, WritesBlocksAndBytes) {
  Bytes block(100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrNone);
  EXPECT_EQ(aStream_Write(stream.get(), block.data(), 1), aErrNone);
  Bytes expected = block;
  expected.push_back(block[0]);
  EXPECT_EQ(ReadPeer(peer, expected.size()), expected);
}

TEST_F(SocketStream, ReconnectsAfterTheConnectionIsReset) {
  listener.Reset(peer);
  // A read meets the reset and connects again; the read itself reports that
  // nothing is waiting yet.
  int again = -1;
  for (int i = 0; i < 100 && again < 0; ++i) {
    uint8_t b;
    const aErr err = stream->getProc(&b, stream->ref);
    ASSERT_EQ(err, aErrNotReady) << aError_GetErrorText(err);
    again = listener.Accept(20);
  }
  ASSERT_GE(again, 0) << "the stream connected again";
  const Bytes down = {0x11, 0x22};
  ASSERT_EQ(send(again, down.data(), down.size(), 0), 2);
  EXPECT_EQ(ReadStream(stream.get(), 2), down);
  const Bytes up = {0x33, 0x44, 0x55};
  EXPECT_EQ(aStream_Write(stream.get(), up.data(), up.size()), aErrNone);
  EXPECT_EQ(ReadPeer(again, 3), up);
}

TEST_F(SocketStream, WriteReconnectsAfterTheConnectionIsReset) {
  listener.Reset(peer);
  // Give the reset time to arrive; the write then meets the broken
  // connection, connects again and sends on the new one.
  pollfd none = {-1, 0, 0};
  poll(&none, 0, 50);
  const Bytes up = {0x66, 0x77};
  EXPECT_EQ(aStream_Write(stream.get(), up.data(), up.size()), aErrNone);
  const int again = listener.Accept(2000);
  ASSERT_GE(again, 0);
  EXPECT_EQ(ReadPeer(again, 2), up);
}

TEST_F(SocketStream, PeerCloseReadsAsNotReadyWithoutSpinning) {
  listener.Close(peer);
  uint8_t b;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(stream->getProc(&b, stream->ref), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream.get(), 30), aErrTimeout) << "a closed peer is not input";
  }
}

TEST_F(SocketStream, DestroyResetsTheConnection) {
  aStreamRef raw = stream.release();
  EXPECT_EQ(aStream_Destroy(&raw), aErrNone);
  uint8_t b;
  pollfd p = {peer, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(recv(peer, &b, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET) << "linger 0: a reset, not an orderly close";
}

}  // namespace
