// The virtual module's transports: the TCP listener, the pseudo-terminal line
// with its framing, the discovery responder (unicast on loopback only), and
// the standalone program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "sim/module/DiscoveryResponder.h"
#include "sim/module/PtyModuleLine.h"
#include "sim/module/TcpModuleServer.h"
#include "sim/module/WireCodec.h"
#include "tests/sim/ModuleTestSupport.h"

using simtest::Bytes;
using simtest::Hex;
using simtest::Packet;

namespace {

sim::VirtualModuleConfig AdapterConfig() {
  sim::VirtualModuleConfig c;
  c.serial = 0x0BADCAFE;
  c.address = 6;
  c.model = 0x2A;
  c.heartbeatMs = 0;
  c.restartMs = 100;
  return c;
}

// Reads from fd until n bytes came or timeoutMs passed.
Bytes ReadSome(int fd, size_t n, int timeoutMs) {
  Bytes got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < n) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count());
    if (left <= 0) break;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, left) <= 0) break;
    uint8_t buf[256];
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

void WriteAll(int fd, const Bytes& b) {
  ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
}

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when the peer closed or reset the connection within timeoutMs.
bool PeerGone(int fd, int timeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0) return false;
  uint8_t b;
  ssize_t r = recv(fd, &b, 1, 0);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

}  // namespace

TEST(TcpAdapter, CarriesPacketsAndGivesEachConnectionAFreshSession) {
  sim::VirtualModule module(AdapterConfig());
  sim::TcpModuleServer server(module, "127.0.0.1", 0);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ASSERT_TRUE(module.Start());
  ASSERT_NE(server.Port(), 0);

  int a = Connect(server.Port());
  ASSERT_GE(a, 0);
  WriteAll(a, {0xAF, 0x01, 0x01, 0xAD, 0x00, 0x06, 0x03, 0x03, 0x49, 0x20});
  EXPECT_EQ(Hex(ReadSome(a, 11, 2000)), "06 00 06 07 03 09 00 0B AD CA FE");
  EXPECT_TRUE(module.Routing());

  // Half a packet on the old connection does not leak into the new session.
  WriteAll(a, {0x06, 0x03, 0x03});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int b = Connect(server.Port());
  ASSERT_GE(b, 0);
  EXPECT_TRUE(PeerGone(a, 2000)) << "the old connection is replaced";
  close(a);
  WriteAll(b, {0x49, 0x20});  // would complete the old half packet
  WriteAll(b, {0xAD, 0x00});
  EXPECT_EQ(Hex(ReadSome(b, 2, 2000)), "06 00");
  EXPECT_FALSE(module.Routing());
  EXPECT_EQ(server.Connections(), 2u);
  close(b);
  module.Stop();
  server.Stop();
}

TEST(TcpAdapter, DroppedLinkAndRestartCloseTheConnectionAndAcceptAgain) {
  sim::VirtualModuleConfig c = AdapterConfig();
  c.loaderSerial = 0xDEADDEAD;
  sim::VirtualModule module(c);
  sim::TcpModuleServer server(module, "127.0.0.1", 0);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ASSERT_TRUE(module.Start());

  int a = Connect(server.Port());
  ASSERT_GE(a, 0);
  WriteAll(a, {0xAD, 0x00});
  EXPECT_EQ(Hex(ReadSome(a, 2, 2000)), "06 00");
  module.DropLink();
  EXPECT_TRUE(PeerGone(a, 2000));
  close(a);

  int b = Connect(server.Port());
  ASSERT_GE(b, 0);
  WriteAll(b, Packet(6, {0x5F, 0x02}));  // loader start: the module restarts
  EXPECT_TRUE(PeerGone(b, 2000));
  close(b);
  // Connecting while it restarts is queued and served once it is back, by
  // the loader, which announces itself.
  int c2 = Connect(server.Port());
  ASSERT_GE(c2, 0);
  WriteAll(c2, {0xAF, 0x01, 0x01});
  EXPECT_EQ(Hex(ReadSome(c2, 4, 3000)), "06 02 5F 02");
  WriteAll(c2, Packet(6, {0x03, 0x49, 0x20}));
  Bytes serial;
  for (int i = 0; i < 20 && serial.size() < 9; ++i) {
    Bytes more = ReadSome(c2, 1, 1000);
    if (more.empty()) break;
    serial.insert(serial.end(), more.begin(), more.end());
    if (serial.size() >= 4 && serial[0] == 0x06 && serial[2] == 0x5F) serial.clear();  // announcement
  }
  EXPECT_EQ(Hex(serial), "06 07 03 09 00 DE AD DE AD");
  close(c2);
  module.Stop();
  server.Stop();
}

TEST(TcpAdapter, BusyPortIsReported) {
  sim::VirtualModule module(AdapterConfig());
  sim::TcpModuleServer first(module, "127.0.0.1", 0);
  std::string error;
  ASSERT_TRUE(first.Start(&error));
  sim::VirtualModule other(AdapterConfig());
  sim::TcpModuleServer second(other, "127.0.0.1", first.Port());
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
  sim::TcpModuleServer bad(other, "not-an-address", 0);
  EXPECT_FALSE(bad.Start(&error));
  first.Stop();
}

namespace {

int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

}  // namespace

TEST(PtyAdapter, FramesBothWaysWithCrc) {
  sim::VirtualModuleConfig c = AdapterConfig();
  c.name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  sim::VirtualModule module(c);
  sim::PtyModuleLine line(module);
  std::string error;
  ASSERT_TRUE(line.Start(&error)) << error;
  ASSERT_TRUE(module.Start());
  int fd = OpenRaw(line.Path());
  ASSERT_GE(fd, 0) << line.Path();

  // The sync request as a frame (02 AD 02 67 00); the answer 06 00 comes framed.
  WriteAll(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});
  EXPECT_EQ(Hex(ReadSome(fd, 5, 2000)), "02 06 02 AA 00");  // 06 00, CRC AA

  // A frame with a bad CRC is dropped and counted; repeated delimiters are noise.
  WriteAll(fd, {0x00, 0x00, 0x02, 0xAD, 0x02, 0x68, 0x00});
  EXPECT_TRUE(ReadSome(fd, 1, 200).empty());
  EXPECT_EQ(line.BadFrames(), 1u);
  EXPECT_EQ(line.FramesIn(), 1u);

  // The name comes in chunks that fit a 32-byte frame.
  const Bytes get = Packet(6, {0x03, 0x60, 0x20});
  WriteAll(fd, sim::FramePacket(get.data(), get.size()));
  Bytes frames = ReadSome(fd, 32 + 12, 2000);  // 27- and 7-byte payloads, framed
  sim::FrameCollector collector;
  std::vector<Bytes> packets;
  for (uint8_t b : frames) {
    if (!collector.Push(b)) continue;
    bool tooLong = false;
    Bytes enc = collector.Take(&tooLong);
    Bytes dec;
    size_t n = 0;
    ASSERT_FALSE(tooLong);
    ASSERT_TRUE(sim::CobsDecode(enc.data(), enc.size(), &dec) && sim::CheckFrame(dec, &n));
    packets.emplace_back(dec.begin(), dec.begin() + long(n));
  }
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0][1], 27);
  EXPECT_EQ(packets[1][1], 7);

  // The fault: the next frame's CRC is wrong.
  line.CorruptNextFrame();
  WriteAll(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});
  Bytes bad = ReadSome(fd, 5, 2000);
  ASSERT_EQ(bad.size(), 5u);
  Bytes dec;
  size_t n = 0;
  EXPECT_FALSE(sim::CobsDecode(bad.data(), 4, &dec) && sim::CheckFrame(dec, &n));
  close(fd);
  module.Stop();
  line.Stop();
}

TEST(PtyAdapter, LineSurvivesTheHostClosingAndReopening) {
  sim::VirtualModule module(AdapterConfig());
  sim::PtyModuleLine line(module);
  std::string error;
  ASSERT_TRUE(line.Start(&error)) << error;
  ASSERT_TRUE(module.Start());
  for (int round = 0; round < 2; ++round) {
    int fd = OpenRaw(line.Path());
    ASSERT_GE(fd, 0);
    WriteAll(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(ReadSome(fd, 5, 2000).size(), 5u) << round;
    close(fd);
  }
  module.Stop();
  line.Stop();
}

TEST(DiscoveryResponderTest, AnswersARequestOnLoopbackWithItsIdentity) {
  sim::VirtualModule module(AdapterConfig());
  int host = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(host, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(host, reinterpret_cast<sockaddr*>(&a), &len);

  sim::DiscoveryResponderConfig dc;
  dc.bindAddress = "127.0.0.1";
  dc.requestPort = 0;
  dc.replyPort = ntohs(a.sin_port);
  dc.joinGroup = false;
  dc.tcpPort = 9999;
  sim::DiscoveryResponder responder(module, dc);
  std::string error;
  ASSERT_TRUE(responder.Start(&error)) << error;

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(responder.RequestPort());
  struct Case {
    const char* name;
    Bytes request;
    bool answered;
  } cases[] = {
      {"not a request", Bytes(16, 0x00), false},
      {"short", Bytes{0x01, 0, 0}, false},
      {"request", [] { Bytes r(16, 0); r[0] = 1; return r; }(), true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(sendto(host, c.request.data(), c.request.size(), 0,
                     reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(c.request.size()));
    Bytes reply = ReadSome(host, 16, c.answered ? 2000 : 300);
    if (!c.answered) {
      EXPECT_TRUE(reply.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(Hex(reply), "00 06 0F 27 FE CA AD 0B 00 00 00 00 2A 00 00 00");
  }
  EXPECT_EQ(responder.Answered(), 1u);
  responder.Stop();
  close(host);
}

#ifdef VIRTUAL_MODULE_PROGRAM
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(std::vector<std::string> args) {
  int pipefd[2];
  Child c;
  if (pipe(pipefd) != 0) return c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(pipefd[1], 1);
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char*> argv;
    static std::string program = VIRTUAL_MODULE_PROGRAM;
    argv.push_back(program.data());
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  c.out = pipefd[0];
  return c;
}

std::string ReadLine(int fd) {
  std::string line;
  Bytes b;
  while ((b = ReadSome(fd, 1, 5000)).size() == 1 && b[0] != '\n') line += char(b[0]);
  return line;
}

int StopChild(Child& c) {
  kill(c.pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
      close(c.out);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(c.pid, SIGKILL);
  waitpid(c.pid, &status, 0);
  close(c.out);
  return -2;
}

}  // namespace

TEST(VirtualModuleProgram, ListensOnTcpAndStopsCleanlyOnSigterm) {
  Child c = Spawn({"--serial", "ABCD0123", "--address", "8", "--port", "0", "--heartbeat", "0"});
  ASSERT_GT(c.pid, 0);
  std::string line = ReadLine(c.out);
  unsigned port = 0;
  char host[64] = {0};
  ASSERT_EQ(std::sscanf(line.c_str(), "tcp %63s %u", host, &port), 2) << line;
  EXPECT_STREQ(host, "127.0.0.1");
  int fd = Connect(uint16_t(port));
  ASSERT_GE(fd, 0);
  WriteAll(fd, Packet(8, {0x03, 0x49, 0x20}));
  EXPECT_EQ(Hex(ReadSome(fd, 9, 2000)), "08 07 03 09 00 AB CD 01 23");
  close(fd);
  EXPECT_EQ(StopChild(c), 0);
}

TEST(VirtualModuleProgram, PtyTransportPrintsAnOpenablePath) {
  Child c = Spawn({"--transport", "pty", "--heartbeat", "0"});
  ASSERT_GT(c.pid, 0);
  std::string line = ReadLine(c.out);
  ASSERT_EQ(line.rfind("pty /dev/", 0), 0u) << line;
  int fd = OpenRaw(line.substr(4));
  ASSERT_GE(fd, 0);
  WriteAll(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});
  EXPECT_EQ(Hex(ReadSome(fd, 5, 2000)), "02 02 02 91 00");  // 02 00, CRC 91
  close(fd);
  EXPECT_EQ(StopChild(c), 0);
}

TEST(VirtualModuleProgram, BadOptionsAreRefusedWithAReason) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--address", "3"}, {"--serial", "xyz"}, {"--transport", "usb"}, {"--bogus"},
           {"--network", "4,5"}, {"--version", "2.12"}}) {
    Child c = Spawn(args);
    ASSERT_GT(c.pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(c.pid, &status, 0), c.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0];
    close(c.out);
  }
}
#endif
