// Module discovery: reply parsing and address text everywhere; the multicast
// search only inside a pair of network namespaces, with the virtual module at
// the far end of the veth.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/discover.h"
#include "sim/module/DiscoveryResponder.h"
#include "sim/module/TcpModuleServer.h"
#include "sim/module/VirtualModule.h"
#include "tests/transport/netns.h"

namespace {

uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(DiscoveryReply, FillsTheLinkSpec) {
  const uint8_t reply[16] = {0x00, 0x04, 0x0F, 0x27, 0x78, 0x56, 0x34, 0x12,
                             0xAA, 0xBB, 0xCC, 0xDD, 0x13, 0x01, 0x02, 0x03};
  linkSpec spec{};
  spec.type = TCPIP;
  ASSERT_TRUE(aDiscovery_ParseReply(reply, sizeof(reply), Ip("192.168.1.20"), &spec));
  EXPECT_EQ(spec.type, TCPIP);
  EXPECT_EQ(spec.serial_num, 0x12345678u);
  EXPECT_EQ(spec.module, 4u);
  EXPECT_EQ(spec.router, 4u);
  EXPECT_EQ(spec.router_serial_num, 0x12345678u);
  EXPECT_EQ(spec.model, 0x13u);
  EXPECT_EQ(spec.t.ip.ip_port, 9999u);
  EXPECT_EQ(spec.t.ip.ip_address, Ip("192.168.1.20"));
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&spec);
  EXPECT_EQ(raw[24], 192);
  EXPECT_EQ(raw[27], 20);
  for (size_t i = 32; i < sizeof(spec); ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;

  linkSpec untouched{};
  EXPECT_FALSE(aDiscovery_ParseReply(reply, 15, Ip("192.168.1.20"), &untouched))
      << "a short datagram is not a reply";
  EXPECT_EQ(untouched.serial_num, 0u);
}

TEST(DiscoveryAddressText, Conversions) {
  const struct {
    const char* address;
    size_t bufferLength;
    size_t expected;
    const char* text;
  } cases[] = {
      {"10.0.0.1", 16, 8, "10.0.0.1"},
      {"10.0.0.1", 15, 0, ""},
      {"255.255.255.255", 16, 15, "255.255.255.255"},
      {"127.0.0.1", 64, 9, "127.0.0.1"},
      {"0.0.0.0", 16, 7, "0.0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address << " in " << c.bufferLength << " bytes");
    std::vector<char> buffer(c.bufferLength, 'x');
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(Ip(c.address), buffer.data(), buffer.size()),
              c.expected);
    if (c.expected) {
      EXPECT_STREQ(buffer.data(), c.text);
      for (size_t i = c.expected; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0);
    }
  }
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(Ip("10.0.0.1"), nullptr, 16), 0u);
  uint32_t parsed = 0;
  EXPECT_TRUE(aDiscovery_ParseIPv4("198.18.0.1", &parsed));
  EXPECT_EQ(parsed, Ip("198.18.0.1"));
  EXPECT_FALSE(aDiscovery_ParseIPv4("198.18.0", &parsed));
}

bool sNeverCalled(const linkSpec*, bool*, void* ref) {
  ++*static_cast<int*>(ref);
  return true;
}

// Kinds without a search of their own return at once and send nothing, so
// this runs anywhere.
TEST(DiscoveryDispatch, KindsWithoutSearchFindNothing) {
  for (linkType type : std::vector<linkType>{LINK_TYPE_NONE, SERIAL, AETHER, AETHER_SERIAL, 8, 9}) {
    SCOPED_TRACE(type);
    int calls = 0;
    EXPECT_EQ(aDiscovery_EnumerateModules(type, sNeverCalled, &calls, 0), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(aDiscovery_FindModule(type, 0x1234, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindFirstModule(type, 0), nullptr);
  }
  int calls = 0;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, nullptr, &calls, 0), 0) << "no callback";
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 4), 0u);
}

constexpr uint32_t kSerial = 0x5EED1234;
constexpr uint8_t kModel = 0x13;
constexpr uint8_t kAddress = 4;

struct Found {
  std::vector<linkSpec> specs;
};

bool sCollect(const linkSpec* spec, bool* counted, void* ref) {
  static_cast<Found*>(ref)->specs.push_back(*spec);
  *counted = true;
  return true;
}

uint8_t sMatchEcho(const aPacket* p, void*) {
  return p->address == kAddress && p->dataSize == 3 && p->data[0] == cmdDEBUG && p->data[1] == 0x5A;
}

// The multicast search, fenced in: the module in NAME-peer answers on
// 198.18.0.1, the search runs in NAME whose only interfaces are loopback and
// 198.18.0.2.
class NetworkDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = testns::WhyUnavailable();
    if (!why.empty()) GTEST_SKIP() << "network discovery tests skipped: " << why;
    pair = std::make_unique<testns::NamespacePair>();
    ASSERT_TRUE(pair->ok()) << pair->error();

    sim::VirtualModuleConfig config;
    config.serial = kSerial;
    config.model = kModel;
    config.address = kAddress;
    config.heartbeatMs = 0;
    module = std::make_unique<sim::VirtualModule>(config);
    ASSERT_TRUE(module->Start());
    // Sockets are made by the thread that starts the adapters: in the peer.
    testns::InNamespace there(pair->peer());
    ASSERT_TRUE(there.ok());
    std::string error;
    server = std::make_unique<sim::TcpModuleServer>(*module, "198.18.0.1", 0);
    ASSERT_TRUE(server->Start(&error)) << error;
    sim::DiscoveryResponderConfig rc;
    rc.bindAddress = "0.0.0.0";
    rc.joinGroup = true;
    rc.groupInterface = "198.18.0.1";
    rc.tcpPort = server->Port();
    responder = std::make_unique<sim::DiscoveryResponder>(*module, rc);
    ASSERT_TRUE(responder->Start(&error)) << error;
  }

  void TearDown() override {
    if (responder) responder->Stop();
    if (server) server->Stop();
    if (module) module->Stop();
    responder.reset();
    server.reset();
    module.reset();
    pair.reset();
  }

  std::unique_ptr<testns::NamespacePair> pair;
  std::unique_ptr<sim::VirtualModule> module;
  std::unique_ptr<sim::TcpModuleServer> server;
  std::unique_ptr<sim::DiscoveryResponder> responder;
};

#define ASSERT_FENCED_IN()                                            \
  do {                                                                \
    std::string seen;                                                 \
    ASSERT_TRUE(testns::FencedIn(&seen)) << "refusing to multicast: " \
                                         << seen;                     \
  } while (0)

TEST_F(NetworkDiscovery, EnumerationReportsTheModule) {
  testns::InNamespace inside(pair->inside());
  ASSERT_TRUE(inside.ok());
  ASSERT_FENCED_IN();
  for (uint32_t networkInterface : {0u, Ip("127.0.0.1"), Ip("198.18.0.2")}) {
    SCOPED_TRACE(testing::Message() << "interface " << std::hex << networkInterface);
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, networkInterface), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    const linkSpec& s = found.specs[0];
    EXPECT_EQ(s.type, TCPIP);
    EXPECT_EQ(s.serial_num, kSerial);
    EXPECT_EQ(s.module, kAddress);
    EXPECT_EQ(s.router, kAddress);
    EXPECT_EQ(s.router_serial_num, kSerial);
    EXPECT_EQ(s.model, kModel);
    EXPECT_EQ(s.t.ip.ip_address, Ip("198.18.0.1"));
    EXPECT_EQ(s.t.ip.ip_port, server->Port());
  }
  EXPECT_GE(responder->Answered(), 3u);
}

TEST_F(NetworkDiscovery, FindAndConnect) {
  testns::InNamespace inside(pair->inside());
  ASSERT_TRUE(inside.ok());
  ASSERT_FENCED_IN();
  linkSpec* spec = aDiscovery_FindModule(TCPIP, kSerial, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serial_num, kSerial);
  EXPECT_EQ(spec->t.ip.ip_port, server->Port());
  linkSpec* first = aDiscovery_FindFirstModule(TCPIP, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(memcmp(first, spec, sizeof(linkSpec)), 0);
  aLinkSpec_Destroy(&first);
  EXPECT_EQ(aDiscovery_FindModule(TCPIP, kSerial + 1, 0), nullptr);

  // The found specifier leads to a working link.
  int32_t id = aLink_CreateTCPIP(spec->serial_num, spec->t.ip.ip_address, spec->t.ip.ip_port);
  ASSERT_NE(id, 0);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  const uint8_t echo[] = {cmdDEBUG, 0x5A, 0x01};
  aPacket* request = aPacket_CreateWithData(kAddress, sizeof(echo), echo);
  EXPECT_EQ(aLink_PutPacket(id, request), aErrNone);
  aPacket_Destroy(&request);
  aPacket* reply = aLink_AwaitFirst(id, sMatchEcho, nullptr, 2000);
  EXPECT_NE(reply, nullptr);
  if (reply) aPacket_Destroy(&reply);
  aLink_Destroy(&id);
  aLinkSpec_Destroy(&spec);
}

TEST_F(NetworkDiscovery, NoModuleFindsNothing) {
  responder->Stop();
  testns::InNamespace inside(pair->inside());
  ASSERT_TRUE(inside.ok());
  ASSERT_FENCED_IN();
  Found found;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, 0), 0);
  EXPECT_TRUE(found.specs.empty());
  EXPECT_EQ(aDiscovery_FindFirstModule(TCPIP, 0), nullptr);
}

TEST_F(NetworkDiscovery, InterfaceListSeesOnlyTheTestVeth) {
  testns::InNamespace inside(pair->inside());
  ASSERT_TRUE(inside.ok());
  uint32_t list[8] = {};
  const uint32_t n = aDiscovery_GetIPv4Interfaces(list, 8);
  std::vector<uint32_t> got(list, list + n);
  EXPECT_NE(std::find(got.begin(), got.end(), Ip("198.18.0.2")), got.end());
  for (uint32_t a : got)
    EXPECT_TRUE(a == Ip("198.18.0.2") || a == Ip("127.0.0.1")) << std::hex << a;
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 0), 0u);
}

}  // namespace
