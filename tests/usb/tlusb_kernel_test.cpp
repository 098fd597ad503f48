// The kernel-driver path. No such driver exists here, so each test stands a
// pseudo-terminal in for the module's device node: the node path is a
// symbolic link to the terminal's slave side, set raw with VMIN = VTIME = 0
// so that a one-byte read returns the next byte, or 0 bytes when nothing is
// waiting, as the driver's reads do. (The driver's other "nothing waiting"
// answer, EFAULT, cannot be produced by a terminal.) The test holds the
// master side and plays the module.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/unix/tlusb_driver.h"
#include "platform/unix/unix_streamusb.h"

namespace {

class KernelPath : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tlusb_kernel_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    prefix_ = dir_ + "/tessaline.";
    tlusb_set_kernel_node_prefix(prefix_.c_str());
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    termios t;
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
    slavePath_ = ttyname(slave_);
  }
  void TearDown() override {
    tlusb_set_kernel_node_prefix(nullptr);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    unlink(Node("1234ABCD").c_str());
    rmdir(Node("0000D1D1").c_str());
    rmdir(dir_.c_str());
  }
  std::string Node(const char* serial) const { return prefix_ + serial; }
  void Install(const char* serial) {
    ASSERT_EQ(symlink(slavePath_.c_str(), Node(serial).c_str()), 0);
  }
  std::vector<uint8_t> ReadMaster(size_t n) {
    std::vector<uint8_t> got;
    while (got.size() < n) {
      uint8_t buffer[256];
      const ssize_t r = read(master_, buffer, sizeof buffer);
      if (r <= 0) break;
      got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }

  std::string dir_, prefix_, slavePath_;
  int master_ = -1, slave_ = -1;
};

TEST_F(KernelPath, NodePresenceChoosesThePath) {
  EXPECT_FALSE(tlusb_is_kernel_driver_installed(0x1234ABCD));
  Install("1234ABCD");
  EXPECT_TRUE(tlusb_is_kernel_driver_installed(0x1234ABCD));
  EXPECT_FALSE(tlusb_is_kernel_driver_installed(0x1234ABCE));
  // A directory of that name is not a device node.
  ASSERT_EQ(mkdir(Node("0000D1D1").c_str(), 0700), 0);
  EXPECT_FALSE(tlusb_is_kernel_driver_installed(0xD1D1));
}

// No USB bus is emulated in this program at all, so a stream that opens at
// all has gone through the node, never through libusb.
TEST_F(KernelPath, StreamReadsAndWritesTheNode) {
  Install("1234ABCD");
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), aErrNone);

  uint8_t b = 0xEE;
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);  // nothing waiting: 0 bytes
  EXPECT_EQ(aStream_Wait(stream, 30), aErrTimeout);

  const uint8_t fromModule[] = {0x02, 0x02, 0x00, 0x00};
  ASSERT_EQ(write(master_, fromModule, sizeof fromModule), 4);
  EXPECT_EQ(aStream_Wait(stream, 1000), aErrNone);
  uint8_t got[4] = {};
  EXPECT_EQ(aStream_Read(stream, got, 4), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 4), std::vector<uint8_t>(fromModule, fromModule + 4));

  std::vector<uint8_t> packet(30);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
  EXPECT_EQ(ReadMaster(packet.size()), packet);

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(KernelPath, RecordOperations) {
  Install("1234ABCD");
  tlusb_device* device = tlusb_create_usb(0);
  ASSERT_NE(device, nullptr);
  uint8_t b = 0;
  const uint8_t x = 7;
  // Before open: no descriptor.
  EXPECT_EQ(tlusb_get_from_device(device, &b), aErrMode);
  EXPECT_EQ(tlusb_write_to_device(device, &x, 1), aErrMode);
  // libusb-path operations refuse a kernel-path record.
  EXPECT_EQ(tlusb_get_from_USBlib_device(device, &b), aErrMode);
  EXPECT_EQ(tlusb_write_to_USBlib_device(device, &x, 1), aErrMode);

  EXPECT_EQ(tlusb_open_tessaline_device(device, "1234ABCE"), aErrIO);  // no such node
  ASSERT_EQ(tlusb_open_tessaline_device(device, "1234ABCD"), aErrNone);
  EXPECT_GT(device->fd, 0);
  EXPECT_STREQ(device->serialString, "1234ABCD");
  EXPECT_EQ(tlusb_close_tessaline_device(device), aErrNone);
  EXPECT_EQ(device->fd, 0);
  EXPECT_EQ(device->state, static_cast<uint32_t>(TLUSB_STATE_CLOSED));
  // Closing twice does nothing and succeeds.
  EXPECT_EQ(tlusb_close_tessaline_device(device), aErrNone);
  EXPECT_EQ(tlusb_get_from_device(device, &b), aErrMode);
  EXPECT_EQ(tlusb_destroy(&device), aErrNone);
}

// A node whose reads and writes fail outright (not with EFAULT): the
// process's own memory file at offset 0, which is never mapped, answers both
// with EIO.
TEST_F(KernelPath, FailingNodeGivesIOErrors) {
  ASSERT_EQ(symlink("/proc/self/mem", Node("1234ABCD").c_str()), 0);
  tlusb_device* device = tlusb_create_usb(0);
  ASSERT_EQ(tlusb_open_tessaline_device(device, "1234ABCD"), aErrNone);
  uint8_t b = 0;
  const uint8_t x = 1;
  EXPECT_EQ(tlusb_get_from_device(device, &b), aErrIO);
  EXPECT_EQ(tlusb_write_to_device(device, &x, 1), aErrIO);
  EXPECT_EQ(tlusb_close_tessaline_device(device), aErrNone);
  tlusb_destroy(&device);
}

}  // namespace
