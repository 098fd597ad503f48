// Which USB devices are modules, which interface carries the link, and how
// opening fails.
#include <libusb.h>

#include <ostream>
#include <vector>

#include "common/discover.h"
#include "platform/unix/unix_streamusb.h"
#include "tests/usb/usb_bus_fixture.h"

namespace {

struct RecognitionCase {
  const char* name;
  uint16_t vendor;
  uint16_t product;
  const char* serialString;
  aErr openResult;  // opening serial 0x1234ABCD
  bool reported;    // by the USB enumeration
};

void PrintTo(const RecognitionCase& c, std::ostream* os) { *os << c.name; }

const RecognitionCase kRecognition[] = {
    {"module", 0x24FF, 0x0013, "1234ABCD", aErrNone, true},
    {"highest module product", 0x24FF, 0x7FFF, "1234ABCD", aErrNone, true},
    {"product 0x8000", 0x24FF, 0x8000, "1234ABCD", aErrNotFound, false},
    {"product 0x8001", 0x24FF, 0x8001, "1234ABCD", aErrNotFound, false},
    {"other vendor", 0x1D6B, 0x0013, "1234ABCD", aErrNotFound, false},
    {"lower-case serial", 0x24FF, 0x0013, "1234abcd", aErrNotFound, false},
    {"seven characters", 0x24FF, 0x0013, "234ABCD", aErrNotFound, false},
    {"nine characters", 0x24FF, 0x0013, "1234ABCD0", aErrNotFound, false},
    {"not hexadecimal", 0x24FF, 0x0013, "1234ABCG", aErrNotFound, false},
    {"no serial string", 0x24FF, 0x0013, "", aErrNotFound, false},
};

struct Found {
  std::vector<linkSpec> specs;
};

bool sCollect(const linkSpec* spec, bool* pbCounted, void* ref) {
  static_cast<Found*>(ref)->specs.push_back(*spec);
  *pbCounted = true;
  return true;
}

class Recognition : public UsbBusTest,
                    public ::testing::WithParamInterface<RecognitionCase> {};

TEST_P(Recognition, OpenAndEnumerate) {
  const RecognitionCase& c = GetParam();
  sim::UsbDeviceSpec spec = sim::UsbDeviceSpec::Module(0x1234ABCD, 0x13);
  spec.vendor = c.vendor;
  spec.product = c.product;
  spec.serial = c.serialString;
  sim::EmulatedUsbDevice* device = Plug(spec);
  ASSERT_NE(device, nullptr);

  aStreamRef stream = reinterpret_cast<aStreamRef>(1);
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), c.openResult);
  EXPECT_EQ(stream != nullptr, c.openResult == aErrNone);
  if (stream) EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

  Found found;
  const uint8_t count = aDiscovery_EnumerateUSB(USB, sCollect, &found);
  EXPECT_EQ(count, c.reported ? 1 : 0);
  ASSERT_EQ(found.specs.size(), c.reported ? 1u : 0u);
  if (c.reported) {
    const linkSpec& s = found.specs[0];
    EXPECT_EQ(s.type, USB);
    EXPECT_EQ(s.serial_num, 0x1234ABCDu);
    EXPECT_EQ(s.t.usb.usb_id, 0x1234ABCDu);
    EXPECT_EQ(s.model, c.product & 0xFFu);
    EXPECT_EQ(s.module, 0u);
    EXPECT_EQ(s.router, 0u);
    EXPECT_EQ(s.router_serial_num, 0u);
  }
  // A device that is not a module is never even opened.
  if (c.vendor != 0x24FF || (c.product & 0x8000)) EXPECT_EQ(device->Opens(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Usb, Recognition, ::testing::ValuesIn(kRecognition),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// --- Link interface search ------------------------------------------------

using sim::UsbEndpointSpec;
using sim::UsbInterfaceSpec;

struct InterfaceCase {
  const char* name;
  std::vector<UsbInterfaceSpec> interfaces;
  aErr result;
  uint8_t interfaceNumber = 0, inEndpoint = 0, outEndpoint = 0;
  uint16_t inMaxPacket = 0, outMaxPacket = 0;
};

void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.name; }

UsbInterfaceSpec Iface(uint8_t number, uint8_t alternate, uint8_t cls, uint8_t sub,
                       uint8_t proto, std::vector<UsbEndpointSpec> endpoints) {
  UsbInterfaceSpec i;
  i.number = number;
  i.alternate = alternate;
  i.interfaceClass = cls;
  i.subClass = sub;
  i.protocol = proto;
  i.endpoints = std::move(endpoints);
  return i;
}

const std::vector<UsbEndpointSpec> kBulk64 = {{0x81, 2, 64}, {0x01, 2, 64}};

std::vector<InterfaceCase> InterfaceCases() {
  return {
      {"link_interface", {Iface(0, 0, 0xFF, 0x88, 0x10, kBulk64)}, aErrNone, 0, 0x81, 0x01, 64, 64},
      {"wrong_class", {Iface(0, 0, 0x08, 0x88, 0x10, kBulk64)}, aErrConfiguration},
      {"wrong_subclass", {Iface(0, 0, 0xFF, 0x87, 0x10, kBulk64)}, aErrConfiguration},
      {"wrong_protocol", {Iface(0, 0, 0xFF, 0x88, 0x11, kBulk64)}, aErrConfiguration},
      {"last_match_wins",
       {Iface(0, 0, 0xFF, 0x88, 0x10, kBulk64),
        Iface(1, 0, 0xFF, 0x88, 0x10, {{0x82, 2, 512}, {0x02, 2, 512}})},
       aErrNone, 1, 0x82, 0x02, 512, 512},
      {"after_vendor_interface",
       {Iface(0, 0, 0xFF, 0x00, 0x00, {{0x83, 2, 64}, {0x03, 2, 64}}),
        Iface(1, 0, 0xFF, 0x88, 0x10, {{0x84, 2, 512}, {0x04, 2, 64}})},
       aErrNone, 1, 0x84, 0x04, 512, 64},
      {"alternate_setting",
       {Iface(0, 0, 0xFF, 0x00, 0x00, {}), Iface(0, 1, 0xFF, 0x88, 0x10, kBulk64)},
       aErrNone, 0, 0x81, 0x01, 64, 64},
      {"interrupt_endpoints", {Iface(0, 0, 0xFF, 0x88, 0x10, {{0x85, 3, 16}, {0x05, 3, 16}})},
       aErrNone, 0, 0x85, 0x05, 16, 16},
      {"no_out_endpoint", {Iface(0, 0, 0xFF, 0x88, 0x10, {{0x81, 2, 64}})}, aErrConfiguration},
      {"isochronous_out_ignored",
       {Iface(0, 0, 0xFF, 0x88, 0x10, {{0x81, 2, 64}, {0x01, 1, 64}})}, aErrConfiguration},
  };
}

class InterfaceSearch : public UsbBusTest,
                        public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(InterfaceSearch, ClaimsTheLastMatch) {
  const InterfaceCase& c = GetParam();
  sim::UsbDeviceSpec spec = sim::UsbDeviceSpec::Module(0x1234ABCD, 0x13);
  spec.interfaces = c.interfaces;
  sim::EmulatedUsbDevice* device = Plug(spec);
  ASSERT_NE(device, nullptr);

  OpenedDevice d("1234ABCD");
  EXPECT_EQ(d.opened, c.result);
  if (c.result == aErrNone) {
    EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_READY));
    EXPECT_EQ(d.device->interfaceNumber, c.interfaceNumber);
    EXPECT_EQ(d.device->inEndpoint, c.inEndpoint);
    EXPECT_EQ(d.device->outEndpoint, c.outEndpoint);
    EXPECT_EQ(d.device->inMaxPacket, c.inMaxPacket);
    EXPECT_EQ(d.device->outMaxPacket, c.outMaxPacket);
    EXPECT_TRUE(device->Claimed());
  } else {
    EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_CLOSED));
    EXPECT_EQ(d.device->handle, nullptr);
    EXPECT_FALSE(device->Claimed());
  }
}

INSTANTIATE_TEST_SUITE_P(Usb, InterfaceSearch, ::testing::ValuesIn(InterfaceCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Opening and states ---------------------------------------------------

using UsbOpen = UsbBusTest;

TEST_F(UsbOpen, StreamArguments) {
  aStreamRef stream = reinterpret_cast<aStreamRef>(1);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, nullptr), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), aErrNotFound);  // empty bus
  EXPECT_EQ(stream, nullptr);
}

TEST_F(UsbOpen, FindsTheWantedSerialAmongSeveral) {
  sim::EmulatedUsbDevice* a = Plug(sim::UsbDeviceSpec::Module(0x11111111, 0x13));
  sim::EmulatedUsbDevice* b = Plug(sim::UsbDeviceSpec::Module(0x22222222, 0x13));
  ASSERT_TRUE(a && b);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x22222222, &stream), aErrNone);
  EXPECT_TRUE(b->Claimed());
  EXPECT_FALSE(a->Claimed());
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_FALSE(b->Claimed());  // deleting the stream releases the module
}

// usbfs claims belong to the open file: a second open of the device node is
// what another process holding the module looks like to the kernel.
TEST_F(UsbOpen, ModuleClaimedElsewhereIsBusy) {
  ASSERT_NE(Plug(sim::UsbDeviceSpec::Module(0x1234ABCD, 0x13)), nullptr);
  libusb_context* context = Tessaline_libusb_context();
  ASSERT_NE(context, nullptr);
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context, &list);
  libusb_device_handle* other = nullptr;
  for (ssize_t i = 0; i < n && !other; ++i)
    if (is_tessaline_device(list[i])) ASSERT_EQ(libusb_open(list[i], &other), 0);
  libusb_free_device_list(list, 1);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(libusb_claim_interface(other, 0), 0);

  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), aErrBusy);
  EXPECT_EQ(stream, nullptr);

  libusb_release_interface(other, 0);
  libusb_close(other);
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), aErrNone);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(UsbOpen, StatesBeforeOpenAndAfterClose) {
  ASSERT_NE(Plug(sim::UsbDeviceSpec::Module(0x1234ABCD, 0x13)), nullptr);
  tlusb_device* device = tlusb_create_usb(1);
  ASSERT_NE(device, nullptr);
  uint8_t byte = 0;
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(device->state, static_cast<uint32_t>(TLUSB_STATE_CREATED));
  EXPECT_EQ(tlusb_get_from_device(device, &byte), aErrNotReady);
  EXPECT_EQ(tlusb_write_to_device(device, data, 3), aErrNotReady);
  EXPECT_EQ(tlusb_close_tessaline_device(device), aErrMode);  // nothing open
  // Operations of the other path refuse the record.
  EXPECT_EQ(tlusb_get_from_kernel_device(device, &byte), aErrMode);
  EXPECT_EQ(tlusb_open_tessaline_kernel_device(device, "1234ABCD"), aErrMode);

  ASSERT_EQ(tlusb_open_tessaline_device(device, "1234ABCD"), aErrNone);
  EXPECT_STREQ(device->serialString, "1234ABCD");
  ASSERT_EQ(tlusb_close_tessaline_device(device), aErrNone);
  EXPECT_EQ(device->state, static_cast<uint32_t>(TLUSB_STATE_CLOSED));
  EXPECT_EQ(tlusb_get_from_device(device, &byte), aErrConnection);
  EXPECT_EQ(tlusb_write_to_device(device, data, 3), aErrConnection);
  EXPECT_EQ(tlusb_close_tessaline_device(device), aErrMode);

  EXPECT_EQ(tlusb_destroy(&device), aErrNone);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(tlusb_destroy(&device), aErrParam);
}

TEST_F(UsbOpen, ModuleGoneBeforeTheSearch) {
  sim::EmulatedUsbDevice* device = Plug(sim::UsbDeviceSpec::Module(0x1234ABCD, 0x13));
  ASSERT_NE(device, nullptr);
  bus_->Unplug(device);
  aStreamRef stream = nullptr;
  // The hot-unplug reaches libusb asynchronously; either way nothing opens.
  const aErr err = aStream_CreateUSB(0x1234ABCD, &stream);
  EXPECT_TRUE(err == aErrNotFound || err == aErrBusy) << aError_GetErrorText(err);
  EXPECT_EQ(stream, nullptr);
}

}  // namespace
