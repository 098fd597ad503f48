// Bulk transfers on the libusb path: write chunking, the receive buffer,
// stalls and the consecutive-failure tolerance.
#include <atomic>
#include <ostream>
#include <thread>
#include <vector>

#include "tests/usb/usb_bus_fixture.h"

namespace {

class UsbTransfer : public UsbBusTest {
 protected:
  sim::EmulatedUsbDevice* PlugModule(uint16_t maxPacket = 64) {
    sim::EmulatedUsbDevice* d = Plug(sim::UsbDeviceSpec::Module(0x1234ABCD, 0x13, maxPacket));
    if (d) d->SetHostHandlers([this](const uint8_t* b, size_t n) { Received(b, n); }, nullptr);
    return d;
  }
  void Received(const uint8_t* b, size_t n) {
    std::lock_guard<std::mutex> hold(lock_);
    received_.insert(received_.end(), b, b + n);
  }
  std::vector<uint8_t> ReceivedBytes() {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
  }
  std::mutex lock_;
  std::vector<uint8_t> received_;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

struct ChunkCase {
  uint16_t maxPacket;
  size_t length;
  std::vector<size_t> transfers;
};

void PrintTo(const ChunkCase& c, std::ostream* os) {
  *os << c.length << " bytes, " << c.maxPacket << "-byte endpoint";
}

std::vector<size_t> Repeat(size_t size, size_t times, std::vector<size_t> tail) {
  std::vector<size_t> v(times, size);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

class WriteChunks : public UsbTransfer, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(WriteChunks, EndpointSizedWith511Rule) {
  const ChunkCase& c = GetParam();
  sim::EmulatedUsbDevice* device = PlugModule(c.maxPacket);
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  const std::vector<uint8_t> data = Pattern(c.length);
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), static_cast<uint32_t>(data.size())),
            aErrNone);
  EXPECT_EQ(device->OutTransferSizes(), c.transfers);
  EXPECT_EQ(ReceivedBytes(), data);
}

INSTANTIATE_TEST_SUITE_P(
    Usb, WriteChunks,
    ::testing::Values(ChunkCase{512, 1000, {511, 489}},
                      ChunkCase{64, 1000, Repeat(64, 15, {40})},
                      ChunkCase{1024, 512, {511, 1}},
                      ChunkCase{1024, 1000, {1000}},
                      ChunkCase{512, 1533, {511, 511, 511}},
                      ChunkCase{64, 64, {64}},
                      ChunkCase{64, 1, {1}}),
    [](const auto& info) {
      return "mps" + std::to_string(info.param.maxPacket) + "_" +
             std::to_string(info.param.length);
    });

TEST_F(UsbTransfer, ReadsServeBytesFromOneTransferInOrder) {
  sim::EmulatedUsbDevice* device = PlugModule(512);
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  const std::vector<uint8_t> data = Pattern(1500);  // more than the 1024-byte buffer
  device->ToHost(data.data(), data.size());
  std::vector<uint8_t> got;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t b = 0;
    ASSERT_EQ(tlusb_get_from_device(d.device, &b), aErrNone) << "byte " << i;
    got.push_back(b);
    if (i == 0) EXPECT_EQ(d.device->rxAvail, TLUSB_RX_BUFFER_SIZE - 1u);
  }
  EXPECT_EQ(got, data);
}

TEST_F(UsbTransfer, QuietModuleReadWaitsAboutOneSecond) {
  ASSERT_NE(PlugModule(), nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  uint8_t b = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrNotReady);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  // The read itself waited, so the wait operation does not sleep again.
  EXPECT_EQ(tlusb_wait_for_input(d.device, 500), aErrNone);
}

TEST_F(UsbTransfer, StalledInEndpointIsClearedAndReadsGoOn) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  device->StallInTransfers(1);
  const uint8_t x = 0x5A;
  device->ToHost(&x, 1);
  uint8_t b = 0;
  EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrNotReady);
  EXPECT_EQ(device->ClearHalts(0x81), 1u);
  // The early return makes the wait operation pause instead of spinning.
  EXPECT_EQ(tlusb_wait_for_input(d.device, 20), aErrTimeout);
  EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrNone);
  EXPECT_EQ(b, 0x5A);
  EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_READY));
}

TEST_F(UsbTransfer, StalledOutEndpointIsClearedAndTheChunkResent) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  device->StallOutTransfers(1);
  const std::vector<uint8_t> data = Pattern(100);
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), 100), aErrNone);
  EXPECT_EQ(device->ClearHalts(0x01), 1u);
  EXPECT_EQ(device->OutTransferSizes(), (std::vector<size_t>{64, 36}));
  EXPECT_EQ(ReceivedBytes(), data);
}

TEST_F(UsbTransfer, WriteGivesUpAfterTenFailedTransfers) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  const std::vector<uint8_t> data = Pattern(10);

  device->FailOutTransfers(9);  // the tenth try goes through
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), 10), aErrNone);
  EXPECT_EQ(device->OutTransferSizes(), std::vector<size_t>{10});

  device->ClearOutTransferSizes();
  device->FailOutTransfers(10);
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), 10), aErrWrite);
  EXPECT_TRUE(device->OutTransferSizes().empty());
  EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_READY));
}

// A transfer that reports fewer bytes than offered: sending goes on after the
// bytes that went out. One that takes none counts as a failed transfer, so a
// module that never takes anything cannot hold the writer forever.
TEST_F(UsbTransfer, ShortTransfersContinueWhereTheyStopped) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  const std::vector<uint8_t> data = Pattern(100);

  device->LimitOutTransfers(1, 10);
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), 100), aErrNone);
  EXPECT_EQ(device->OutTransferSizes(), (std::vector<size_t>{10, 64, 26}));
  EXPECT_EQ(ReceivedBytes(), data);

  device->ClearOutTransferSizes();
  device->LimitOutTransfers(9, 0);
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), 10), aErrNone);
  EXPECT_EQ(device->OutTransferSizes(), std::vector<size_t>{10});

  device->ClearOutTransferSizes();
  device->LimitOutTransfers(10, 0);
  EXPECT_EQ(tlusb_write_to_device(d.device, data.data(), 10), aErrWrite);
  EXPECT_TRUE(device->OutTransferSizes().empty());
}

TEST_F(UsbTransfer, FourReadFailuresAbsorbedTheFifthFails) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  device->FailInTransfers(5);
  uint8_t b = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrNotReady) << i;
  EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_READY));
  EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrIO);
  EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_FAILED));

  // Failed for good, in both directions, even with data waiting.
  const uint8_t x = 1;
  device->ToHost(&x, 1);
  EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrIO);
  EXPECT_EQ(tlusb_write_to_device(d.device, &x, 1), aErrIO);
  EXPECT_TRUE(device->OutTransferSizes().empty());
}

TEST_F(UsbTransfer, SuccessResetsTheFailureCountInEitherDirection) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  uint8_t b = 0;
  const uint8_t x = 0x42;

  device->FailInTransfers(4);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(tlusb_get_from_device(d.device, &b), aErrNotReady);
  device->ToHost(&x, 1);
  ASSERT_EQ(tlusb_get_from_device(d.device, &b), aErrNone);  // a good read

  device->FailInTransfers(4);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(tlusb_get_from_device(d.device, &b), aErrNotReady);
  ASSERT_EQ(tlusb_write_to_device(d.device, &x, 1), aErrNone);  // a good write

  device->FailInTransfers(4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tlusb_get_from_device(d.device, &b), aErrNotReady);
  EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_READY));
}

// The reader and the writer update the shared counter and state at once.
TEST_F(UsbTransfer, ReaderAndWriterShareTheCounterSafely) {
  sim::EmulatedUsbDevice* device = PlugModule();
  ASSERT_NE(device, nullptr);
  OpenedDevice d("1234ABCD");
  ASSERT_EQ(d.opened, aErrNone);
  device->FailInTransfers(100000);
  std::atomic<bool> stop{false};
  std::atomic<int> writeIO{0};
  std::thread writer([&] {
    const uint8_t x = 0;
    while (!stop) {
      const aErr err = tlusb_write_to_device(d.device, &x, 1);
      if (err == aErrIO) {
        ++writeIO;
        break;
      }
      EXPECT_EQ(err, aErrNone);
    }
  });
  aErr last = aErrNone;
  uint8_t b = 0;
  for (int i = 0; i < 2000 && last != aErrIO; ++i) {
    last = tlusb_get_from_device(d.device, &b);
    EXPECT_TRUE(last == aErrNotReady || last == aErrIO) << aError_GetErrorText(last);
    if (i == 200) stop = true;  // once the writer stops, failures pile up
  }
  stop = true;
  writer.join();
  EXPECT_EQ(last, aErrIO);
  EXPECT_EQ(d.device->state, static_cast<uint32_t>(TLUSB_STATE_FAILED));
  EXPECT_GE(d.device->errorCount, 5);
}

}  // namespace
