// USB enumeration: bus order, stopping early, the discovery dispatch and the
// refresh of the shared libusb context.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/discover.h"
#include "tests/usb/usb_bus_fixture.h"

namespace {

struct Collector {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never stop
  bool count = true;
};

bool sCollect(const linkSpec* spec, bool* pbCounted, void* ref) {
  auto* c = static_cast<Collector*>(ref);
  c->specs.push_back(*spec);
  *pbCounted = c->count;
  return c->stopAfter == 0 || c->specs.size() < c->stopAfter;
}

using UsbDiscovery = UsbBusTest;

TEST_F(UsbDiscovery, TwoModulesInBusOrder) {
  sim::EmulatedUsbDevice* first = Plug(sim::UsbDeviceSpec::Module(0x0000BEEF, 0x13));
  sim::UsbDeviceSpec hub = sim::UsbDeviceSpec::Module(0x33333333, 0x13);
  hub.vendor = 0x1D6B;  // something else between the modules
  ASSERT_NE(Plug(hub), nullptr);
  sim::EmulatedUsbDevice* second = Plug(sim::UsbDeviceSpec::Module(0xA0B1C2D3, 0x04));
  ASSERT_TRUE(first && second);

  Collector c;
  EXPECT_EQ(aDiscovery_EnumerateUSB(USB, sCollect, &c), 2);
  ASSERT_EQ(c.specs.size(), 2u);
  std::vector<std::string> reported;
  for (const linkSpec& s : c.specs) {
    char text[16];
    snprintf(text, sizeof text, "%08X", s.serial_num);
    reported.push_back(text);
    EXPECT_EQ(s.t.usb.usb_id, s.serial_num);
    EXPECT_EQ(s.model, s.serial_num == 0x0000BEEFu ? 0x13u : 0x04u);
  }
  EXPECT_EQ(reported, ListOrder({first, second}));
  // Enumeration leaves every module closed and unclaimed.
  EXPECT_FALSE(first->Claimed());
  EXPECT_FALSE(second->Claimed());
}

TEST_F(UsbDiscovery, StopsWhenTheCallbackSaysSo) {
  sim::EmulatedUsbDevice* a = Plug(sim::UsbDeviceSpec::Module(0x11111111, 0x13));
  sim::EmulatedUsbDevice* b = Plug(sim::UsbDeviceSpec::Module(0x22222222, 0x13));
  ASSERT_TRUE(a && b);
  const std::vector<std::string> order = ListOrder({a, b});
  ASSERT_EQ(order.size(), 2u);
  sim::EmulatedUsbDevice* second = order[1] == a->Spec().serial ? a : b;
  Collector c;
  c.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateUSB(USB, sCollect, &c), 1);
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(c.specs[0].serial_num, strtoul(order[0].c_str(), nullptr, 16));
  EXPECT_EQ(second->Opens(), 0u);  // the second module is not even opened

  Collector uncounted;
  uncounted.count = false;
  EXPECT_EQ(aDiscovery_EnumerateUSB(USB, sCollect, &uncounted), 0);
  EXPECT_EQ(uncounted.specs.size(), 2u);
}

TEST_F(UsbDiscovery, KindIsPassedThroughAndNullCallbackFindsNothing) {
  Plug(sim::UsbDeviceSpec::Module(0x11111111, 0x13));
  Collector c;
  EXPECT_EQ(aDiscovery_EnumerateUSB(AETHER_USB, sCollect, &c), 1);
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(c.specs[0].type, AETHER_USB);
  EXPECT_EQ(aDiscovery_EnumerateUSB(USB, nullptr, nullptr), 0);
}

// Through the general dispatch: proves that the USB enumeration is the one
// linked into programs, not the fallback that reports nothing.
TEST_F(UsbDiscovery, DispatchAndSearchBySerialNumber) {
  Plug(sim::UsbDeviceSpec::Module(0x11111111, 0x13));
  Plug(sim::UsbDeviceSpec::Module(0x22222222, 0x21));
  Collector c;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &c, 0), 2);
  ASSERT_EQ(c.specs.size(), 2u);

  for (const linkSpec& expected : c.specs) {
    linkSpec* found = aDiscovery_FindModule(USB, expected.serial_num, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(memcmp(found, &expected, sizeof(linkSpec)), 0);
    aLinkSpec_Destroy(&found);
  }
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x33333333, 0), nullptr);

  linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->serial_num, c.specs[0].serial_num);
  aLinkSpec_Destroy(&first);
}

TEST_F(UsbDiscovery, FreshContextAfterExitSeesTheBusAgain) {
  sim::EmulatedUsbDevice* device = Plug(sim::UsbDeviceSpec::Module(0x11111111, 0x13));
  ASSERT_NE(device, nullptr);
  Collector before;
  EXPECT_EQ(aDiscovery_EnumerateUSB(USB, sCollect, &before), 1);

  Tessaline_libusb_exit();
  // The module comes back under its loader's serial number while no context
  // exists; the fresh context finds it under that number.
  ASSERT_NE(bus_->Replug(device, sim::UsbDeviceSpec::Module(0xDEADDEAD, 0x13)), nullptr);
  Collector after;
  EXPECT_EQ(aDiscovery_EnumerateUSB(USB, sCollect, &after), 1);
  ASSERT_EQ(after.specs.size(), 1u);
  EXPECT_EQ(after.specs[0].serial_num, 0xDEADDEADu);
}

}  // namespace
