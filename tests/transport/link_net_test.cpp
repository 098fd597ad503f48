// Links to the virtual module over TCP (127.0.0.1) and over a COBS-framed
// pseudo-terminal: creation, sync, heartbeats, request and reply, shared use,
// reset and reconnection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "common/aPacketDebug.h"
#include "common/aTime.h"
#include "sim/module/PtyModuleLine.h"
#include "sim/module/TcpModuleServer.h"
#include "sim/module/VirtualModule.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0BADCAFE;
constexpr uint8_t kAddress = 6;

enum class Transport { Tcp, Serial };

std::string Name(const testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::Tcp ? "Tcp" : "Serial";
}

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// Polls cond every 10 ms for up to timeoutMs.
template <typename Cond>
bool Eventually(Cond cond, uint32_t timeoutMs = 3000) {
  const uint64_t end = aTime_GetMSTicks() + timeoutMs;
  while (!cond()) {
    if (aTime_GetMSTicks() >= end) return false;
    aTime_MSSleep(10);
  }
  return true;
}

struct Echo {
  Bytes payload;
};

uint8_t sMatchEcho(const aPacket* p, void* ref) {
  const Echo* echo = static_cast<const Echo*>(ref);
  return p->address == kAddress && p->dataSize == echo->payload.size() &&
         Bytes(p->data, p->data + p->dataSize) == echo->payload;
}

uint8_t sIsHeartbeat(const aPacket* p, void*) {
  return p->dataSize == 2 && p->data[0] == cmdHEARTBEAT;
}

// Sends a cmdDEBUG echo request over the link and waits for the answer.
::testing::AssertionResult EchoWorks(int32_t id, uint8_t tag) {
  Echo echo{{cmdDEBUG, tag, 0x00, 0xA5, static_cast<uint8_t>(~tag)}};
  aPacket* request = aPacket_CreateWithData(kAddress, static_cast<uint8_t>(echo.payload.size()),
                                            echo.payload.data());
  const aErr put = aLink_PutPacket(id, request);
  aPacket_Destroy(&request);
  if (put != aErrNone) return ::testing::AssertionFailure() << "put: " << aError_GetErrorText(put);
  aPacket* reply = aLink_AwaitFirst(id, sMatchEcho, &echo, 2000);
  if (!reply)
    return ::testing::AssertionFailure() << "no echo; link status " << aLink_GetStatus(id);
  aPacket_Destroy(&reply);
  return ::testing::AssertionSuccess();
}

class LinkToModule : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    sim::VirtualModuleConfig config;
    config.serial = kSerial;
    config.address = kAddress;
    config.heartbeatMs = 100;
    module = std::make_unique<sim::VirtualModule>(config);
    ASSERT_TRUE(module->Start());
    std::string error;
    if (GetParam() == Transport::Tcp) {
      tcp = std::make_unique<sim::TcpModuleServer>(*module, "127.0.0.1", 0);
      ASSERT_TRUE(tcp->Start(&error)) << error;
    } else {
      pty = std::make_unique<sim::PtyModuleLine>(*module);
      ASSERT_TRUE(pty->Start(&error)) << error;
    }
  }

  void TearDown() override {
    for (int32_t& id : ids)
      while (id && aLinkManager_LookupEntryByID(id)) {
        int32_t copy = id;
        aLink_Destroy(&copy);
      }
    if (tcp) tcp->Stop();
    if (pty) pty->Stop();
    module->Stop();
  }

  int32_t Create() {
    const int32_t id = GetParam() == Transport::Tcp
                           ? aLink_CreateTCPIP(kSerial, Loopback(), tcp->Port())
                           : aLink_CreateSerial(kSerial, pty->Path().c_str(), 115200);
    if (id) ids.push_back(id);
    return id;
  }

  std::unique_ptr<sim::VirtualModule> module;
  std::unique_ptr<sim::TcpModuleServer> tcp;
  std::unique_ptr<sim::PtyModuleLine> pty;
  std::vector<int32_t> ids;
};

TEST_P(LinkToModule, SyncsAndExchangesPackets) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_TRUE(Eventually([&] { return module->Routing(); })) << "route-on reached the module";
  for (uint8_t tag = 1; tag <= 5; ++tag) EXPECT_TRUE(EchoWorks(id, tag));
}

TEST_P(LinkToModule, AnswersHeartbeatsWithoutQueueingThem) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(Eventually([&] { return module->Heartbeats().answered >= 3; }))
      << "sent " << module->Heartbeats().sent << " answered " << module->Heartbeats().answered;
  EXPECT_EQ(module->Heartbeats().unexpected, 0u);
  aPacket* beat = aLink_GetFirst(id, sIsHeartbeat, nullptr);
  EXPECT_EQ(beat, nullptr) << "heartbeats never reach the inbound queue";
  if (beat) aPacket_Destroy(&beat);
}

TEST_P(LinkToModule, SecondCreateSharesTheLink) {
  int32_t first = Create();
  ASSERT_NE(first, 0);
  int32_t second = Create();
  EXPECT_EQ(second, first);
  ASSERT_EQ(aLink_Sync(first), aErrNone);
  if (tcp) EXPECT_EQ(tcp->Connections(), 1u) << "one connection for both users";

  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(aLink_GetStatus(second), kLinkStatusRunning) << "one user remains";
  EXPECT_TRUE(EchoWorks(second, 7));

  const int32_t id = second;
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLinkManager_LookupEntryByID(id), nullptr) << "the last user tears it down";
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusInvalidStream);
  if (tcp) EXPECT_TRUE(Eventually([&] { return !tcp->Connected(); }));

  // A fresh creation gets a new id.
  const int32_t again = Create();
  ASSERT_NE(again, 0);
  EXPECT_GT(again, id);
  EXPECT_EQ(aLink_Sync(again), aErrNone);
  EXPECT_TRUE(EchoWorks(again, 8));
}

TEST_P(LinkToModule, ResetReopensTheStream) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  ASSERT_TRUE(EchoWorks(id, 1));
  const aErr reset = aLink_Reset(id);
  if (GetParam() == Transport::Serial) {
    // A serial link's table entry does not keep its port, so a reset cannot
    // open the line again: it is refused and the link stays down.
    EXPECT_EQ(reset, aErrParam);
    return;
  }
  EXPECT_EQ(reset, aErrNone);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(EchoWorks(id, 2));
  if (tcp) EXPECT_EQ(tcp->Connections(), 2u);
}

TEST_P(LinkToModule, PacketLogRecordsBothDirections) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  const uint8_t note[] = {'n', 'o', 't', 'e'};
  ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_NOTE, sizeof(note), note), aErrNone);
  ASSERT_TRUE(EchoWorks(id, 0x42));
  const Bytes wire = {kAddress, 5, cmdDEBUG, 0x42, 0x00, 0xA5, 0xBD};
  bool noteSeen = false, outSeen = false, inSeen = false;
  for (int i = 0; i < 64; ++i) {
    uint8_t direction = 0;
    uint8_t bytes[255];
    uint32_t length = sizeof(bytes);
    if (aLink_PacketDebug_Read(id, &direction, &length, bytes) != aErrNone) break;
    const Bytes entry(bytes, bytes + length);
    if (direction == aPACKETLOG_NOTE && entry == Bytes(note, note + 4)) noteSeen = true;
    if (direction == aPACKETLOG_OUTBOUND && entry == wire) outSeen = true;
    if (direction == aPACKETLOG_INBOUND && entry == wire) inSeen = true;
  }
  EXPECT_TRUE(noteSeen);
  EXPECT_TRUE(outSeen) << "the request as written";
  EXPECT_TRUE(inSeen) << "the echo as received";
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkToModule,
                         ::testing::Values(Transport::Tcp, Transport::Serial), Name);

class TcpLinkToModule : public LinkToModule {};

TEST_P(TcpLinkToModule, ReconnectsAfterTheModuleDropsTheConnection) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  ASSERT_TRUE(EchoWorks(id, 1));
  module->DropLink();
  ASSERT_TRUE(Eventually([&] { return !tcp->Connected() || tcp->Connections() > 1; }));
  // The stream notices the reset connection on its next read or write and
  // connects again; a reset of the link recovers in any case.
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(EchoWorks(id, 2));
  EXPECT_TRUE(tcp->Connected());
}

TEST_P(TcpLinkToModule, ResetFailsWhileTheModuleIsGone) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  const uint16_t port = tcp->Port();
  tcp->Stop();
  const aErr err = aLink_Reset(id);
  EXPECT_NE(err, aErrNone);
  EXPECT_NE(aLink_GetStatus(id), kLinkStatusRunning);
  // The module returns on the same port: another reset brings the link back.
  tcp = std::make_unique<sim::TcpModuleServer>(*module, "127.0.0.1", port);
  std::string error;
  ASSERT_TRUE(tcp->Start(&error)) << error;
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(EchoWorks(id, 3));
}

TEST_P(TcpLinkToModule, ModuleHeldByALinkServerIsNotLinkedDirectly) {
  const int32_t id = Create();
  ASSERT_NE(id, 0);
  aLinkEntry* entry = aLinkManager_LookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  int server = 0;
  entry->server = &server;  // as if a link server served this module
  EXPECT_EQ(aLink_CreateTCPIP(kSerial, Loopback(), tcp->Port()), 0);
  entry->server = nullptr;
  EXPECT_EQ(aLink_CreateTCPIP(kSerial, Loopback(), tcp->Port()), id);
  ids.push_back(id);
}

INSTANTIATE_TEST_SUITE_P(Transports, TcpLinkToModule, ::testing::Values(Transport::Tcp), Name);

TEST(LinkCreate, FailuresLeaveNoEntry) {
  // A port where nothing listens: bind one, then close it.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = Loopback();
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length), 0);
  close(probe);
  const uint16_t deadPort = ntohs(local.sin_port);

  const struct {
    const char* name;
    uint32_t serial;
    std::function<int32_t()> create;
  } cases[] = {
      {"TCP, nothing listening", 0x11110001,
       [&] { return aLink_CreateTCPIP(0x11110001, Loopback(), deadPort); }},
      {"serial, unsupported speed", 0x11110002,
       [] { return aLink_CreateSerial(0x11110002, "/dev/null", 1200); }},
      {"serial, missing port", 0x11110003,
       [] { return aLink_CreateSerial(0x11110003, "/dev/no-such-port", 115200); }},
      {"serial, null port", 0x11110004,
       [] { return aLink_CreateSerial(0x11110004, nullptr, 115200); }},
      {"client, nothing listening", 0,
       [&] { return aLink_CreateClient(Loopback(), deadPort, 0); }},
      {"client, unknown reference", 0, [] { return aLink_CreateClient(0, 0, 0x7FFFFF00); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.create(), 0);
    if (c.serial) {
      EXPECT_EQ(aLinkManager_LookupEntryByIdentifier(static_cast<int32_t>(c.serial), TCPIP),
                nullptr);
      EXPECT_EQ(aLinkManager_LookupEntryByIdentifier(static_cast<int32_t>(c.serial), SERIAL),
                nullptr);
    }
  }
}

TEST(LinkCreate, ClientLinksAreSeparateAndShareByReference) {
  sim::VirtualModuleConfig config;
  config.address = kAddress;
  config.heartbeatMs = 0;
  sim::VirtualModule module(config);
  ASSERT_TRUE(module.Start());
  sim::TcpModuleServer server(module, "127.0.0.1", 0);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;

  int32_t first = aLink_CreateClient(Loopback(), server.Port(), 0);
  ASSERT_NE(first, 0);
  EXPECT_EQ(aLink_Sync(first), aErrNone);
  EXPECT_TRUE(EchoWorks(first, 1));
  int32_t shared = aLink_CreateClient(Loopback(), server.Port(), first);
  EXPECT_EQ(shared, first) << "a reference adds a use of that link";
  EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
  EXPECT_TRUE(EchoWorks(first, 2)) << "the first user still holds it";
  // Reset reopens the client stream.
  EXPECT_EQ(aLink_Reset(first), aErrNone);
  EXPECT_EQ(aLink_Sync(first), aErrNone);
  EXPECT_TRUE(EchoWorks(first, 3));

  int32_t second = aLink_CreateClient(Loopback(), server.Port(), 0);
  EXPECT_NE(second, 0);
  EXPECT_NE(second, first) << "without a reference every client link is new";
  if (second) aLink_Destroy(&second);
  const int32_t firstId = first;
  aLink_Destroy(&first);
  EXPECT_EQ(aLinkManager_LookupEntryByID(firstId), nullptr);
  server.Stop();
  module.Stop();
}

}  // namespace
