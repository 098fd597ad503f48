// Serial streams over pseudo-terminals: the slave side plays the port, the
// master side the device at the other end of the line.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/aStream.h"
#include "platform/unix/unix_streamserial.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Pty {
 public:
  Pty() {
    char name[256] = "";
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  bool ok() const { return !path_.empty(); }
  void CloseMaster() {
    close(master_);
    master_ = -1;
  }
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }

  // Reads what the stream sent, waiting up to timeoutMs for count bytes.
  Bytes ReadFromMaster(size_t count, int timeoutMs = 2000) {
    Bytes out;
    while (out.size() < count) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t buffer[256];
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }
  void WriteToMaster(const Bytes& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

struct StreamDeleter {
  void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDeleter>;

// Reads up to count bytes from the stream, waiting up to about 2 s.
Bytes ReadStream(aStreamRef stream, size_t count) {
  Bytes out;
  for (int i = 0; i < 2000 && out.size() < count; ++i) {
    uint8_t b;
    const aErr err = aStream_Read(stream, &b, 1);
    if (err == aErrNone) {
      out.push_back(b);
    } else {
      EXPECT_EQ(err, aErrNotReady);
      if (err != aErrNotReady) break;
      aStream_Wait(stream, 1);
    }
  }
  return out;
}

TEST(SerialStream, OpenErrors) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const struct {
    const char* name;
    const char* path;
    uint8_t dataBits;
    uint8_t stopBits;
    aErr expected;
  } cases[] = {
      {"missing port", "/dev/no-such-serial-port", 0, 0, aErrNotFound},
      {"null path", nullptr, 0, 0, aErrResource},
      {"data-bits code 2", pty.path().c_str(), 2, 0, aErrResource},
      {"stop-bits code 2", pty.path().c_str(), 0, 2, aErrResource},
      {"not a terminal", "/dev/null", 0, 0, aErrIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool packetized : {false, true}) {
      aStreamRef stream = reinterpret_cast<aStreamRef>(&pty);  // must be cleared
      const aErr err = packetized
                           ? aStream_CreateSerial_Packetized(c.path, 6, 0, c.dataBits,
                                                             c.stopBits, &stream)
                           : aStream_CreateSerial(c.path, 6, 0, c.dataBits, c.stopBits, &stream);
      EXPECT_EQ(err, c.expected) << (packetized ? "packetized" : "plain");
      EXPECT_EQ(stream, nullptr);
    }
  }
  EXPECT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, nullptr), aErrResource);
}

TEST(SerialStream, PermissionDenied) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(chmod(pty.path().c_str(), 0), 0);
  if (geteuid() != 0) {
    aStreamRef stream = nullptr;
    EXPECT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &stream), aErrPermission);
    EXPECT_EQ(stream, nullptr);
    return;
  }
  // Root may open any port: try it as an unprivileged user in a child.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &stream);
    _exit(stream ? 101 : static_cast<int>(err));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(aErrPermission));
}

TEST(SerialStream, ConfiguresSpeedAndLineFormat) {
  const struct {
    uint32_t baudIndex;
    speed_t speed;
    uint8_t parity, dataBits, stopBits;
  } cases[] = {
      {0, B2400, 0, 0, 0},   {1, B4800, 0, 0, 0},     {2, B9600, 0, 0, 0},
      {3, B19200, 0, 0, 0},  {4, B38400, 0, 0, 0},    {5, B57600, 0, 0, 0},
      {6, B115200, 0, 0, 0}, {7, B230400, 0, 0, 0},   {8, B0, 0, 0, 0},
      {6, B115200, 1, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "baud index " << c.baudIndex << " parity "
                                    << int(c.parity) << " data " << int(c.dataBits)
                                    << " stop " << int(c.stopBits));
    Pty pty;
    ASSERT_TRUE(pty.ok());
    aStreamRef raw = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), c.baudIndex, c.parity, c.dataBits,
                                   c.stopBits, &raw),
              aErrNone);
    StreamPtr stream(raw);
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    // The pty driver always keeps CS8 without parity, whatever is asked, so
    // only the parity-related input flag shows the line format here.
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_EQ(!!(t.c_cflag & CSTOPB), !!c.stopBits);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_iflag, tcflag_t(IGNBRK | (c.parity ? IGNPAR : 0)));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u) << "no echo, no line editing, no signals";
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

TEST(SerialStream, RestoresSettingsAfterDestroy) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  struct termios before;
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 2, 1, 1, 1, &stream), aErrNone);
  struct termios during;
  ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
  ASSERT_NE(during.c_lflag, before.c_lflag) << "the stream changed the settings";
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  struct termios after;
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof(before.c_cc)));
}

TEST(SerialStream, DiscardsPendingBytesAndReadsWithoutWaiting) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  // The pty starts in canonical mode: end the stale line so it is readable.
  pty.WriteToMaster({'s', 't', 'a', 'l', 'e', '\n'});
  aStreamRef raw = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &raw), aErrNone);
  StreamPtr stream(raw);
  uint8_t b;
  EXPECT_EQ(stream->getProc(&b, stream->ref), aErrNotReady) << "stale bytes are gone";
  EXPECT_EQ(aStream_Wait(stream.get(), 20), aErrTimeout);

  pty.WriteToMaster({0x01, 0x00, 0xFF, '\n', 0x03});
  EXPECT_EQ(aStream_Wait(stream.get(), 2000), aErrNone);
  EXPECT_EQ(ReadStream(stream.get(), 5), (Bytes{0x01, 0x00, 0xFF, '\n', 0x03}))
      << "raw 8-bit line: no translation";
}

TEST(SerialStream, WritesBytesToTheLine) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef raw = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &raw), aErrNone);
  StreamPtr stream(raw);
  const Bytes block = {'\n', 0x00, 0x7F, 0x80, 0xFF, '\r'};
  EXPECT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrNone);
  EXPECT_EQ(pty.ReadFromMaster(block.size()), block) << "no output translation";
  EXPECT_EQ(aStream_Write(stream.get(), block.data(), 1), aErrNone);
  EXPECT_EQ(pty.ReadFromMaster(1), Bytes{'\n'});
}

TEST(SerialStream, HangUpDoesNotLookLikeInput) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef raw = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &raw), aErrNone);
  StreamPtr stream(raw);
  // Closing the master is a hang-up: the port polls "ready" forever with
  // nothing to read. The wait must not report input (a reader would spin).
  pty.CloseMaster();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(aStream_Wait(stream.get(), 50), aErrTimeout);
    uint8_t b;
    const aErr err = stream->getProc(&b, stream->ref);
    EXPECT_TRUE(err == aErrNotReady || err == aErrIO) << aError_GetErrorText(err);
  }
}

TEST(SerialStream, PacketizedStreamFramesPackets) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef raw = nullptr;
  ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path().c_str(), 6, 0, 0, 0, &raw), aErrNone);
  StreamPtr stream(raw);
  const Bytes packet = {0x04, 0x02, 0x12, 0x34};
  EXPECT_EQ(aStream_Write(stream.get(), packet.data(), packet.size()), aErrNone);
  EXPECT_EQ(pty.ReadFromMaster(7), (Bytes{0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00}));

  // The framing stream waits on the port: nothing yet, then a frame.
  EXPECT_EQ(aStream_Wait(stream.get(), 20), aErrTimeout);
  pty.WriteToMaster({0x03, 0x02, 0x03, 0x04, 0x10, 0x20, 0xC4, 0x00});
  EXPECT_EQ(aStream_Wait(stream.get(), 2000), aErrNone);
  EXPECT_EQ(ReadStream(stream.get(), 5), (Bytes{0x02, 0x03, 0x00, 0x10, 0x20}));
}

}  // namespace
