// A USB link to a virtual module on the emulated bus: alignment, heartbeats,
// a request and its reply, the module leaving and coming back, and a fresh
// libusb context.
#include <chrono>
#include <thread>

#include "common/aLink.h"
#include "common/discover.h"
#include "common/aTime.h"
#include "sim/module/VirtualModule.h"
#include "sim/usb/UsbModulePort.h"
#include "tests/usb/usb_bus_fixture.h"

namespace {

constexpr uint32_t kSerial = 0x5EA1AB1E;
constexpr uint8_t kAddress = 2;
constexpr uint8_t kSystemCmd = 3;
constexpr uint8_t kSerialOption = 9;

uint8_t sIsSerialReply(const aPacket* p, void*) {
  return p->address == kAddress && p->dataSize >= 7 && p->data[0] == kSystemCmd &&
         (p->data[1] & 0x3F) == kSerialOption;
}

class UsbLink : public UsbBusTest {
 protected:
  static sim::VirtualModuleConfig Config() {
    sim::VirtualModuleConfig config;
    config.serial = kSerial;
    config.address = kAddress;
    config.heartbeatMs = 100;
    return config;
  }
  void StartModule(const sim::VirtualModuleConfig& config = Config()) {
    module_ = std::make_unique<sim::VirtualModule>(config);
    port_ = std::make_unique<sim::UsbModulePort>(*bus_, *module_, 64);
    std::string error;
    ASSERT_TRUE(port_->Start(&error)) << error;
    ASSERT_TRUE(module_->Start());
  }
  void TearDown() override {
    if (id_) aLink_Destroy(&id_);
    port_.reset();
    module_.reset();
    UsbBusTest::TearDown();
  }

  // Asks the module for its serial number over the link; 0 on no answer.
  uint32_t AskSerial(int32_t id) {
    const uint8_t request[] = {kSystemCmd, static_cast<uint8_t>(0x40 | kSerialOption), 0x20};
    aPacket* p = aPacket_CreateWithData(kAddress, sizeof request, request);
    const aErr put = aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    if (put != aErrNone) return 0;
    aPacket* reply = aLink_AwaitFirst(id, sIsSerialReply, nullptr, 2000);
    if (!reply) return 0;
    const uint32_t serial = static_cast<uint32_t>(reply->data[3]) << 24 |
                            static_cast<uint32_t>(reply->data[4]) << 16 |
                            static_cast<uint32_t>(reply->data[5]) << 8 | reply->data[6];
    aPacket_Destroy(&reply);
    return serial;
  }

  bool WaitForStatus(int32_t id, int32_t status, uint32_t timeoutMs) {
    const uint64_t end = aTime_GetMSTicks() + timeoutMs;
    while (aLink_GetStatus(id) != status) {
      if (aTime_GetMSTicks() > end) return false;
      aTime_MSSleep(10);
    }
    return true;
  }

  std::unique_ptr<sim::VirtualModule> module_;
  std::unique_ptr<sim::UsbModulePort> port_;
  int32_t id_ = 0;
};

TEST_F(UsbLink, SyncsAnswersHeartbeatsAndCarriesRequests) {
  ASSERT_NO_FATAL_FAILURE(StartModule());
  id_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(id_, 0);
  EXPECT_EQ(aLink_GetStatus(id_), kLinkStatusRunning);
  EXPECT_TRUE(port_->Device()->Claimed());
  EXPECT_EQ(AskSerial(id_), kSerial);

  // The module beats every 100 ms; the link answers each beat.
  const uint64_t end = aTime_GetMSTicks() + 3000;
  while (module_->Heartbeats().answered < 3 && aTime_GetMSTicks() < end) aTime_MSSleep(20);
  EXPECT_GE(module_->Heartbeats().answered, 3u);
  EXPECT_EQ(module_->Heartbeats().unexpected, 0u);

  // A second user shares the link; the first destroy leaves it running.
  int32_t again = aLink_CreateUSB(kSerial);
  EXPECT_EQ(again, id_);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id_), kLinkStatusRunning);
  EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
  EXPECT_FALSE(port_->Device()->Claimed());
}

TEST_F(UsbLink, NoModuleNoLink) {
  ASSERT_NO_FATAL_FAILURE(StartModule());
  EXPECT_EQ(aLink_CreateUSB(0x0BADF00D), 0);
  EXPECT_EQ(aLink_CreateUSB(0), 0);
}

TEST_F(UsbLink, ModuleLeavesAndComesBack) {
  ASSERT_NO_FATAL_FAILURE(StartModule());
  id_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(id_, 0);
  ASSERT_EQ(AskSerial(id_), kSerial);
  sim::EmulatedUsbDevice* before = port_->Device();

  module_->DropLink();  // off the bus and back as a new device
  const uint64_t end = aTime_GetMSTicks() + 3000;
  while (port_->Device() == before && aTime_GetMSTicks() < end) aTime_MSSleep(10);
  ASSERT_NE(port_->Device(), before);
  EXPECT_FALSE(before->Plugged());
  // The old device is gone: reads fail until the record gives up.
  EXPECT_TRUE(WaitForStatus(id_, kLinkStatusIOError, 5000)) << aLink_GetStatus(id_);

  // A reset opens the module again by its serial number.
  ASSERT_EQ(aLink_Reset(id_), aErrNone);
  EXPECT_EQ(aLink_Sync(id_), aErrNone);
  EXPECT_EQ(AskSerial(id_), kSerial);
  EXPECT_TRUE(port_->Device()->Claimed());
}

TEST_F(UsbLink, FreshContextAfterExit) {
  ASSERT_NO_FATAL_FAILURE(StartModule());
  id_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(id_, 0);
  ASSERT_EQ(aLink_Destroy(&id_), aErrNone);
  Tessaline_libusb_exit();
  id_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(id_, 0);
  EXPECT_EQ(AskSerial(id_), kSerial);
}

// The upgrade's load request sends the module into its loader: it leaves
// the bus and comes back as a module without a programmed serial number.
TEST_F(UsbLink, ModuleComesBackFromItsLoaderUnderItsLoaderSerial) {
  sim::VirtualModuleConfig config = Config();
  config.loaderSerial = 0xDEADDEAD;
  ASSERT_NO_FATAL_FAILURE(StartModule(config));
  id_ = aLink_CreateUSB(kSerial);
  ASSERT_NE(id_, 0);

  const uint8_t load[] = {95, 2};  // upgrade entity: load (start the loader)
  aPacket* p = aPacket_CreateWithData(kAddress, sizeof load, load);
  ASSERT_EQ(aLink_PutPacket(id_, p), aErrNone);
  aPacket_Destroy(&p);
  ASSERT_TRUE(module_->WaitForMode(sim::ModuleMode::Loader, 5000));
  EXPECT_TRUE(WaitForStatus(id_, kLinkStatusIOError, 5000)) << aLink_GetStatus(id_);
  EXPECT_EQ(aLink_Destroy(&id_), aErrNone);

  // The new device reaches libusb as a hot-plug event: allow it a moment.
  linkSpec* loader = nullptr;
  for (int i = 0; i < 50 && !loader; ++i) {
    loader = aDiscovery_FindModule(USB, 0xDEADDEAD, 0);
    if (!loader) aTime_MSSleep(50);
  }
  ASSERT_NE(loader, nullptr);
  aLinkSpec_Destroy(&loader);
  EXPECT_EQ(aDiscovery_FindModule(USB, kSerial, 0), nullptr);
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0);
  id_ = aLink_CreateUSB(0xDEADDEAD);
  ASSERT_NE(id_, 0);
  EXPECT_EQ(AskSerial(id_), 0xDEADDEADu);
}

}  // namespace
