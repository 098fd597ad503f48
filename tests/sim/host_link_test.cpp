// The virtual module against the host's own link engine, over TCP and over a
// pseudo-terminal: alignment, requests, heartbeats answered by the host, and
// the loader start, after which the module comes back under its loader
// serial number and the host's link carries on.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "sim/module/PtyModuleLine.h"
#include "sim/module/TcpModuleServer.h"
#include "sim/module/VirtualModule.h"

namespace {

constexpr uint8_t kAddr = 4;

struct Want {
  uint8_t command;
  uint8_t second;
};

uint8_t MatchPrefix(const aPacket* p, void* ref) {
  const Want* w = static_cast<const Want*>(ref);
  return p->dataSize >= 2 && p->data[0] == w->command && p->data[1] == w->second;
}

// Sends a payload to the module and returns the payload of the first reply
// starting with (command, second); empty when none came within timeoutMs.
std::vector<uint8_t> Ask(int32_t id, std::vector<uint8_t> payload, Want want, uint32_t timeoutMs) {
  aPacket* p = aPacket_CreateWithData(kAddr, uint8_t(payload.size()), payload.data());
  EXPECT_EQ(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  aPacket* r = aLink_AwaitFirst(id, MatchPrefix, &want, timeoutMs);
  if (!r) return {};
  std::vector<uint8_t> out(r->data, r->data + r->dataSize);
  aPacket_Destroy(&r);
  return out;
}

class HostLink : public ::testing::TestWithParam<bool> {  // true: TCP, false: serial line
 protected:
  void SetUp() override {
    sim::VirtualModuleConfig c;
    c.serial = 0x5EED0001;
    c.address = kAddr;
    c.heartbeatMs = 100;
    c.restartMs = 200;
    c.loaderSerial = 0xDEADDEAD;
    module = std::make_unique<sim::VirtualModule>(c);
    std::string error;
    if (GetParam()) {
      tcp = std::make_unique<sim::TcpModuleServer>(*module, "127.0.0.1", 0);
      ASSERT_TRUE(tcp->Start(&error)) << error;
    } else {
      pty = std::make_unique<sim::PtyModuleLine>(*module);
      ASSERT_TRUE(pty->Start(&error)) << error;
    }
    ASSERT_TRUE(module->Start());
    id = GetParam() ? aLink_CreateTCPIP(c.serial, htonl(INADDR_LOOPBACK), tcp->Port())
                    : aLink_CreateSerial(c.serial, pty->Path().c_str(), 115200);
    ASSERT_NE(id, 0);
  }

  void TearDown() override {
    if (id) aLink_Destroy(&id);
    if (module) module->Stop();
    if (tcp) tcp->Stop();
    if (pty) pty->Stop();
  }

  std::unique_ptr<sim::VirtualModule> module;
  std::unique_ptr<sim::TcpModuleServer> tcp;
  std::unique_ptr<sim::PtyModuleLine> pty;
  int32_t id = 0;
};

}  // namespace

TEST_P(HostLink, LoaderStartAndBackUnderTheLoaderSerial) {
  ASSERT_EQ(aLink_Sync(id), aErrNone);
  std::vector<uint8_t> serial = Ask(id, {0x03, 0x49, 0x20}, {0x03, 0x09}, 1000);
  EXPECT_EQ(serial, (std::vector<uint8_t>{0x03, 0x09, 0x00, 0x5E, 0xED, 0x00, 0x01}));
  EXPECT_EQ(Ask(id, {0x5F, 0x00}, {0x5F, 0x00}, 1000).size(), 6u);

  // The module restarts into its loader; within the host's one-second wait
  // the loader's start reaches the same host link.
  EXPECT_EQ(Ask(id, {0x5F, 0x02}, {0x5F, 0x02}, 1000).size(), 2u);
  EXPECT_EQ(module->Mode(), sim::ModuleMode::Loader);
  EXPECT_EQ(aLink_GetStatus(id), 2);
  serial = Ask(id, {0x03, 0x49, 0x20}, {0x03, 0x09}, 1000);
  EXPECT_EQ(serial, (std::vector<uint8_t>{0x03, 0x09, 0x00, 0xDE, 0xAD, 0xDE, 0xAD}));
  if (tcp) EXPECT_EQ(tcp->Connections(), 2u);

  // The host's link answers the module's heartbeats.
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  sim::HeartbeatStats hb = module->Heartbeats();
  EXPECT_GE(hb.sent, 2u);
  EXPECT_GE(hb.answered + 1, hb.sent);  // the latest may still be on its way
  EXPECT_EQ(hb.unexpected, 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, HostLink, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("Tcp") : std::string("SerialLine");
                         });
