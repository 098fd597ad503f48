// tlusb layer, kernel path: the maker's kernel driver presents each module as
// a character device "/dev/tessaline.%08X". One-byte reads return the next
// byte, 0 bytes, or fail with EFAULT when nothing is waiting; writes take the
// bytes of a packet. The driver buffers, so there is no receive buffer and no
// error tolerance here.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/aFile.h"
#include "platform/unix/tlusb_driver.h"

namespace {

constexpr const char* kDefaultNodePrefix = "/dev/tessaline.";
std::mutex _prefixLock;
std::string _nodePrefix = kDefaultNodePrefix;

std::string sNodePath(const char* serialText) {
  std::lock_guard<std::mutex> hold(_prefixLock);
  return _nodePrefix + serialText;
}

}  // namespace

void tlusb_set_kernel_node_prefix(const char* prefix) {
  std::lock_guard<std::mutex> hold(_prefixLock);
  _nodePrefix = prefix ? prefix : kDefaultNodePrefix;
}

bool tlusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serialNumber);
  return aFile_Exists(sNodePath(text).c_str());
}

aErr tlusb_open_tessaline_kernel_device(tlusb_device* device, const char* serial) {
  if (!device || !serial) return aErrParam;
  if (device->useLibusb) return aErrMode;
  strncpy(device->serialString, serial, sizeof device->serialString - 1);
  int fd = open(sNodePath(serial).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  if (fd == 0) {
    // fd 0 means "none" in the record; move the node off it.
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    if (moved < 0) return aErrIO;
    fd = moved;
  }
  device->fd = fd;
  return aErrNone;
}

aErr tlusb_get_from_kernel_device(tlusb_device* device, uint8_t* pData) {
  if (!device || !pData) return aErrParam;
  if (device->useLibusb || device->fd == 0) return aErrMode;
  const ssize_t n = read(device->fd, pData, 1);
  if (n == 1) return aErrNone;
  if (n == 0) return aErrNotReady;
  return errno == EFAULT ? aErrNotReady : aErrIO;
}

aErr tlusb_write_to_kernel_device(tlusb_device* device, const uint8_t* data, uint32_t length) {
  if (!device || (!data && length)) return aErrParam;
  if (device->useLibusb || device->fd == 0) return aErrMode;
  uint32_t written = 0;
  for (int calls = 0; written < length && calls < TLUSB_KERNEL_WRITE_MAX_CALLS; ++calls) {
    const ssize_t n = write(device->fd, data + written, length - written);
    if (n < 0) return aErrIO;
    written += static_cast<uint32_t>(n);
  }
  return written < length ? aErrIO : aErrNone;
}

aErr tlusb_wait_for_kernel_input(tlusb_device* device, uint32_t timeoutMs) {
  if (!device) return aErrParam;
  if (device->useLibusb || device->fd <= 0) return aErrMode;
  pollfd p = {device->fd, POLLIN, 0};
  const int r = poll(&p, 1, static_cast<int>(timeoutMs));
  if (r > 0) return aErrNone;  // input, or an error that the next read reports
  if (r == 0) return aErrTimeout;
  return errno == EINTR ? aErrTimeout : aErrIO;
}

aErr tlusb_close_tessaline_kernel_device(tlusb_device* device) {
  if (!device) return aErrParam;
  if (device->useLibusb) return aErrMode;
  if (device->fd <= 0) return aErrNone;
  if (close(device->fd) != 0) return aErrCancel;
  device->fd = 0;
  device->state = TLUSB_STATE_CLOSED;
  return aErrNone;
}
