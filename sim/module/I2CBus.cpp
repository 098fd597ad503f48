// The I2C entity (cmdI2C) of the virtual module and the routing of packets
// between the host link and the modules on its I2C network.
//
// Each module is an I2C device at its own address: a 256-byte register file
// whose first written byte sets the register pointer. A write to an address
// where no module is (or one that is restarting) fails, which is how the
// host's probe finds the modules.
#include <algorithm>

#include "sim/module/ModuleImpl.h"

namespace sim {

namespace {

constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kPullupAddress = 1;
constexpr size_t kMaxTransfer = 23;

}  // namespace

VirtualModule* VirtualModule::Impl::FindNetworkModule(uint8_t to) const {
  for (const auto& m : network) {
    if (m->Address() == to) return m.get();
  }
  return nullptr;
}

void VirtualModule::Impl::FromNetwork(const uint8_t* packet, size_t length) {
  std::lock_guard<std::mutex> lk(mu);
  if (!route || !attached || mode == ModuleMode::Restarting) return;
  QueueBytes(std::vector<uint8_t>(packet, packet + length), NowMs());
}

void VirtualModule::Impl::HandleI2C(const uint8_t* p, size_t n) {
  if (n < 4) return;
  const uint8_t index = p[1];
  const uint8_t target = p[2];
  if (index != 0) return Reply({kCmdI2C, index, target, 0, uint8_t(kStatusError | kErrIndexRange)});
  if (n == 4 && target == kPullupAddress) {
    pullup = p[3];
    return Reply({kCmdI2C, index, target, p[3], kErrNone});
  }
  if (n < 5) return;
  const uint8_t length = p[3];
  const uint8_t device = target & 0xFE;
  VirtualModule* m = FindNetworkModule(device);
  if (m && !m->OnBus()) m = nullptr;
  if (target & 1) {  // read
    if (length > kMaxTransfer || length + 5u > maxPayload) {
      return Reply({kCmdI2C, index, target, 0, uint8_t(kStatusError | kErrSize)});
    }
    if (!m) return Reply({kCmdI2C, index, target, 0, uint8_t(kStatusError | kErrIO)});
    std::vector<uint8_t> r{kCmdI2C, index, target, length, kErrNone};
    {
      Impl& dev = *m->impl_;
      std::lock_guard<std::mutex> devLock(dev.mu);
      for (uint8_t i = 0; i < length; ++i) r.push_back(dev.i2cRegs[uint8_t(dev.i2cPointer + i)]);
      dev.i2cPointer = uint8_t(dev.i2cPointer + length);
    }
    return Reply(r);
  }
  const size_t count = n - 5;
  if (count != length || count > kMaxTransfer) {
    return Reply({kCmdI2C, index, target, 0, uint8_t(kStatusError | kErrSize)});
  }
  if (!m) return Reply({kCmdI2C, index, target, 0, uint8_t(kStatusError | kErrIO)});
  {
    Impl& dev = *m->impl_;
    std::lock_guard<std::mutex> devLock(dev.mu);
    if (count > 0) {
      dev.i2cPointer = p[5];
      for (size_t i = 6; i < n; ++i) dev.i2cRegs[dev.i2cPointer++] = p[i];
    }
  }
  Reply({kCmdI2C, index, target, 0, kErrNone});
}

}  // namespace sim
