// Store slots (cmdSLOT) and factory data (cmdFACTORY) of the virtual module.
// Slots live in memory and survive restarts, as flash would.
#include <algorithm>

#include "sim/module/ModuleImpl.h"

namespace sim {

namespace {

constexpr uint8_t kStores = 2;
constexpr uint8_t kSlotsPerStore = 8;
constexpr size_t kSlotCapacity = 4096;
constexpr size_t kMaxHandles = 8;
constexpr size_t kFactoryCapacity = 256;

enum : uint8_t {
  kCapacity = 1,
  kSize = 2,
  kOpenRead = 3,
  kOpenWrite = 4,
  kRead = 6,
  kWrite = 7,
  kClose = 8,
};

constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kFactoryWriteBit = 0x10;
constexpr uint8_t kFactoryFirstBit = 0x40;
constexpr uint8_t kReplyError = 0x80;

}  // namespace

void VirtualModule::Impl::HandleSlot(const uint8_t* p, size_t n) {
  if (n < 3) return;
  const uint8_t sub = p[1];
  const uint8_t failed = uint8_t(sub | kReplyError);
  switch (sub) {
    case kCapacity:
    case kSize:
    case kOpenRead:
    case kOpenWrite: {
      if (n < 4) return;
      const uint8_t store = p[2];
      const uint8_t slot = p[3];
      if (store >= kStores || slot >= kSlotsPerStore) {
        return Reply({kCmdSlot, failed, store, slot, kErrIndexRange});
      }
      StoreSlot& s = slots[{store, slot}];
      if (sub == kCapacity || sub == kSize) {
        const size_t v = sub == kCapacity ? kSlotCapacity : s.data.size();
        return Reply({kCmdSlot, sub, store, slot, uint8_t(v >> 8), uint8_t(v)});
      }
      if (handles.size() >= kMaxHandles) return Reply({kCmdSlot, failed, store, slot, kErrBusy});
      while (nextHandle == 0 || nextHandle == 255 || handles.count(nextHandle)) ++nextHandle;
      const uint8_t h = nextHandle++;
      handles[h] = SlotHandle{store, slot, sub == kOpenWrite, 0};
      if (sub == kOpenWrite) s.data.clear();
      return Reply({kCmdSlot, sub, store, slot, h});
    }
    case kRead: {
      const uint8_t h = p[2];
      auto it = handles.find(h);
      if (it == handles.end() || it->second.writing) return Reply({kCmdSlot, failed, h, kErrParam});
      const std::vector<uint8_t>& data = slots[{it->second.store, it->second.slot}].data;
      if (it->second.offset >= data.size()) return Reply({kCmdSlot, failed, h, kErrEOF});
      const size_t take = std::min(size_t(maxPayload) - 3, data.size() - it->second.offset);
      std::vector<uint8_t> r{kCmdSlot, kRead, h};
      r.insert(r.end(), data.begin() + long(it->second.offset),
               data.begin() + long(it->second.offset + take));
      it->second.offset += take;
      return Reply(r);
    }
    case kWrite: {
      const uint8_t h = p[2];
      auto it = handles.find(h);
      if (it == handles.end() || !it->second.writing) return Reply({kCmdSlot, failed, h, kErrParam});
      if (n < 4) return Reply({kCmdSlot, failed, h, kErrSize});
      std::vector<uint8_t>& data = slots[{it->second.store, it->second.slot}].data;
      if (data.size() + (n - 3) > kSlotCapacity) return Reply({kCmdSlot, failed, h, kErrOverrun});
      uint8_t sum = 0;
      for (size_t i = 3; i < n; ++i) sum = uint8_t(sum + p[i]);
      data.insert(data.end(), p + 3, p + n);
      return Reply({kCmdSlot, kWrite, h, sum});
    }
    case kClose: {
      const uint8_t h = p[2];
      if (!handles.erase(h)) return Reply({kCmdSlot, failed, h, kErrParam});
      return Reply({kCmdSlot, kClose, h, kErrNone});
    }
    default:
      return;
  }
}

void VirtualModule::Impl::HandleFactory(const uint8_t* p, size_t n) {
  if (n < 2) return;
  const uint8_t b = p[1];
  if (b == kFactoryClose) {
    if (n < 4) return Reply({kCmdFactory, kReplyError, kErrSize});
    const size_t total = size_t(p[2]) << 8 | p[3];
    uint8_t err = kErrNone;
    if (!factoryActive) {
      if (total != 0) err = kErrMode;
    } else if (factoryWriting) {
      if (total == factoryIncoming.size()) {
        factory[factoryCommand] = factoryIncoming;
      } else {
        err = kErrSize;
      }
    } else if (total != factoryOffset) {
      err = kErrSize;
    }
    factoryActive = false;
    factoryIncoming.clear();
    factoryOffset = 0;
    if (err != kErrNone) return Reply({kCmdFactory, kReplyError, err});
    return Reply({kCmdFactory, 0x00});
  }
  const uint8_t command = b & 0x0F;
  const bool writing = (b & kFactoryWriteBit) != 0;
  const bool first = (b & kFactoryFirstBit) != 0;
  const uint8_t failed = uint8_t(command | kReplyError);
  if (first) {
    factoryActive = true;
    factoryWriting = writing;
    factoryCommand = command;
    factoryOffset = 0;
    factoryIncoming.clear();
  }
  if (!factoryActive || factoryWriting != writing || factoryCommand != command) {
    return Reply({kCmdFactory, failed, kErrMode});
  }
  if (writing) {
    if (factoryIncoming.size() + (n - 2) > kFactoryCapacity) {
      factoryActive = false;
      return Reply({kCmdFactory, failed, kErrOverrun});
    }
    factoryIncoming.insert(factoryIncoming.end(), p + 2, p + n);
    return Reply({kCmdFactory, command});
  }
  auto it = factory.find(command);
  if (it == factory.end()) {
    factoryActive = false;
    return Reply({kCmdFactory, failed, kErrNotFound});
  }
  const size_t take = std::min(size_t(maxPayload) - 2, it->second.size() - factoryOffset);
  std::vector<uint8_t> r{kCmdFactory, command};
  r.insert(r.end(), it->second.begin() + long(factoryOffset),
           it->second.begin() + long(factoryOffset + take));
  factoryOffset += take;
  return Reply(r);
}

}  // namespace sim
