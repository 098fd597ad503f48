// The system entity (class 3), the store entity (class 92), cmdINFO and the
// UEI reply helpers of the virtual module.
#include <algorithm>

#include "sim/module/ModuleImpl.h"

namespace sim {

namespace {

enum class ValueType { Byte, Int, Bytes, Call };

struct SystemOption {
  uint8_t option;
  ValueType type;
  bool get;
  bool set;
};

// Every option of the system entity with its value type and directions.
constexpr SystemOption kSystemOptions[] = {
    {1, ValueType::Byte, true, false},   {2, ValueType::Byte, true, true},
    {3, ValueType::Byte, true, true},    {4, ValueType::Byte, true, true},
    {6, ValueType::Byte, true, true},    {7, ValueType::Int, true, false},
    {8, ValueType::Byte, true, false},   {9, ValueType::Int, true, false},
    {10, ValueType::Call, false, true},  {11, ValueType::Call, false, true},
    {12, ValueType::Int, true, false},   {13, ValueType::Byte, true, false},
    {14, ValueType::Byte, true, false},  {15, ValueType::Byte, true, true},
    {16, ValueType::Byte, true, false},  {20, ValueType::Byte, false, true},
    {21, ValueType::Int, true, false},   {22, ValueType::Int, true, false},
    {23, ValueType::Int, true, false},   {24, ValueType::Call, false, true},
    {25, ValueType::Int, true, false},   {26, ValueType::Int, true, false},
    {27, ValueType::Int, true, false},   {28, ValueType::Int, true, false},
    {29, ValueType::Byte, true, false},  {30, ValueType::Byte, true, true},
    {31, ValueType::Bytes, true, true},  {32, ValueType::Bytes, true, true},
    {33, ValueType::Int, true, false},   {34, ValueType::Int, true, true},
    {35, ValueType::Int, true, false},   {37, ValueType::Call, false, true},
    {38, ValueType::Byte, true, true},   {39, ValueType::Int, true, false},
    {40, ValueType::Int, true, false},   {41, ValueType::Int, true, false},
    {42, ValueType::Byte, true, true},   {43, ValueType::Int, true, false},
    {45, ValueType::Int, true, false},
};

const SystemOption* FindSystemOption(uint8_t option) {
  for (const SystemOption& o : kSystemOptions) {
    if (o.option == option) return &o;
  }
  return nullptr;
}

constexpr uint8_t kUpgradeDataOption = 10;
constexpr size_t kMaxBytesValue = 65536;
constexpr size_t kMaxPowerConfig = 64;
constexpr size_t kMaxName = 32;

std::vector<uint8_t> Int32(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

uint32_t ReadInt(const uint8_t* p, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

void VirtualModule::Impl::ApplyFactorySettings() {
  settings = ModuleSettings{};
  settings.router = cfg.router ? cfg.router : cfg.address;
  settings.heartbeatMs = cfg.heartbeatMs;
  settings.led = 1;
  settings.powerBehaviorConfig = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4};
  settings.name.assign(cfg.name.begin(), cfg.name.end());
  settings.powerLimitMax = 15000000;
  settings.ledMaxBrightness = 255;
}

void VirtualModule::Impl::ReplyValue(uint8_t cmd, uint8_t opt, uint8_t idx,
                                     const std::vector<uint8_t>& value) {
  std::vector<uint8_t> p{cmd, opt, idx};
  p.insert(p.end(), value.begin(), value.end());
  Reply(p);
}

void VirtualModule::Impl::ReplySetDone(uint8_t cmd, uint8_t opt, uint8_t idx) {
  Reply({cmd, uint8_t(opt | kOptGet | kOptSet), idx});
}

void VirtualModule::Impl::ReplyUeiError(uint8_t cmd, uint8_t optByte, uint8_t idx, uint8_t err) {
  Reply({cmd, optByte, uint8_t(idx | kSpecError), err});
}

void VirtualModule::Impl::ReplyBytes(uint8_t cmd, uint8_t opt, uint8_t idx,
                                     const std::vector<uint8_t>& data) {
  const size_t chunk = size_t(maxPayload) - 4;
  size_t offset = 0;
  uint8_t sequence = 0;
  do {
    size_t take = std::min(chunk, data.size() - offset);
    bool more = offset + take < data.size();
    std::vector<uint8_t> p{cmd, opt, idx};
    p.insert(p.end(), data.begin() + long(offset), data.begin() + long(offset + take));
    p.push_back(uint8_t((sequence & 0x7F) | (more ? 0x80 : 0)));
    Reply(p);
    offset += take;
    sequence = uint8_t((sequence + 1) & 0x7F);
  } while (offset < data.size());
}

bool VirtualModule::Impl::CollectBytes(uint8_t cmd, uint8_t opt, const uint8_t* v, size_t n,
                                       std::vector<uint8_t>* whole, uint8_t* err) {
  *err = kErrNone;
  if (n < 1) {
    *err = kErrSize;
    return false;
  }
  const uint8_t trailer = v[n - 1];
  const uint8_t sequence = trailer & 0x7F;
  const bool more = (trailer & 0x80) != 0;
  auto key = std::make_pair(cmd, opt);
  auto it = assemblies.find(key);
  if (it != assemblies.end() && it->second.sequence == sequence) {
    // the next chunk (numbers wrap after 127 in long values)
  } else if (sequence == 0) {
    assemblies[key] = BytesAssembly{};
    it = assemblies.find(key);
  } else {
    if (it != assemblies.end()) assemblies.erase(it);
    *err = kErrPacket;  // a chunk went missing
    return false;
  }
  BytesAssembly& a = it->second;
  if (a.data.size() + n - 1 > kMaxBytesValue) {
    assemblies.erase(it);
    *err = kErrOverrun;
    return false;
  }
  a.data.insert(a.data.end(), v, v + n - 1);
  if (more) {
    a.sequence = uint8_t((sequence + 1) & 0x7F);
    return false;
  }
  whole->swap(a.data);
  assemblies.erase(it);
  return true;
}

void VirtualModule::Impl::HandleUei(const uint8_t* p, size_t n) {
  if (n < 3) return;
  const uint8_t cmd = p[0];
  const uint8_t optByte = p[1];
  const uint8_t spec = p[2];
  if (!(spec & kSpecRequest)) return;  // replies and samples are not for us
  const bool get = (optByte & kOptGet) != 0;
  const bool set = (optByte & kOptSet) != 0;
  if (get == set) return;
  const uint8_t option = optByte & 0x3F;
  const uint8_t index = spec & 0x1F;
  const uint8_t replyOpt = get ? option : uint8_t(option | kOptGet | kOptSet);
  const uint8_t* value = p + 3;
  const size_t valueLength = n - 3;
  switch (cmd) {
    case kCmdSystem:
      HandleSystem(option, get, set, index, value, valueLength);
      return;
    case kCmdStore:
      HandleStoreEntity(option, set, index, value, valueLength);
      return;
    case kCmdUpgrade: {
      if (index != 0) return ReplyUeiError(cmd, replyOpt, index, kErrIndexRange);
      if (option != kUpgradeDataOption) return ReplyUeiError(cmd, replyOpt, index, kErrInvalidOption);
      if (!set || !cfg.ueiBytes) return ReplyUeiError(cmd, replyOpt, index, kErrUnimplemented);
      std::vector<uint8_t> whole;
      uint8_t err = kErrNone;
      if (CollectBytes(cmd, option, value, valueLength, &whole, &err)) {
        UpgradeDataUei(whole);
        ReplySetDone(cmd, option, index);
      } else if (err != kErrNone) {
        ReplyUeiError(cmd, replyOpt, index, err);
      }
      return;
    }
    default:
      ReplyUeiError(cmd, replyOpt, index, kErrInvalidEntity);
      return;
  }
}

void VirtualModule::Impl::HandleSystem(uint8_t option, bool get, bool set, uint8_t index,
                                       const uint8_t* value, size_t valueLength) {
  const uint8_t replyOpt = get ? option : uint8_t(option | kOptGet | kOptSet);
  const SystemOption* o = FindSystemOption(option);
  if (index != 0) return ReplyUeiError(kCmdSystem, replyOpt, index, kErrIndexRange);
  if (!o) return ReplyUeiError(kCmdSystem, replyOpt, index, kErrInvalidOption);
  if ((get && !o->get) || (set && !o->set)) {
    return ReplyUeiError(kCmdSystem, replyOpt, index, kErrMode);
  }

  if (get) {
    if (o->type == ValueType::Bytes) {
      return ReplyBytes(kCmdSystem, option, index,
                        option == 32 ? settings.name : settings.powerBehaviorConfig);
    }
    uint32_t v = 0;
    switch (option) {
      case 1: v = address; break;
      case 2: v = settings.router; break;
      case 3: v = std::min<uint32_t>(255, settings.heartbeatMs / 100); break;
      case 4: v = settings.led; break;
      case 6: v = settings.bootSlot; break;
      case 7: v = version; break;
      case 8: v = cfg.model; break;
      case 9: v = serial; break;
      case 12: v = 5000000; break;   // input voltage, microvolts
      case 13: v = 0; break;         // hardware offset
      case 14: v = cfg.address; break;
      case 15: v = settings.softwareOffset; break;
      case 16: v = saved.router; break;
      case 21: v = 250000; break;    // input current, microamperes
      case 22: v = uint32_t((NowMs() - startMs) / 1000); break;  // uptime, seconds
      case 23: v = 41000000; break;  // temperatures in millionths of a degree
      case 25: v = 12000000; break;
      case 26: v = 300000; break;
      case 27: v = 35500000; break;
      case 28: v = 22000000; break;
      case 29: v = 1; break;
      case 30: v = settings.powerBehavior; break;
      case 33: v = std::min<uint32_t>(settings.powerLimitMax, 12000000); break;
      case 34: v = settings.powerLimitMax; break;
      case 35: v = 0; break;
      case 38: v = settings.linkInterface; break;
      case 39: {
        const uint8_t sub = valueLength >= 1 ? value[0] : 0;
        if (sub > 3) return ReplyUeiError(kCmdSystem, replyOpt, index, kErrIndexRange);
        v = cfg.uniqueId[sub];
        break;
      }
      case 40: v = 0x00010002; break;
      case 41: v = 0; break;
      case 42: v = settings.ledMaxBrightness; break;
      case 43: v = build; break;
      case 45: v = cfg.pooledPackets ? 0x80000000u : 0; break;
      default: break;
    }
    if (o->type == ValueType::Byte) return ReplyValue(kCmdSystem, option, index, {uint8_t(v)});
    return ReplyValue(kCmdSystem, option, index, Int32(v));
  }

  // Sets and calls. A value may be preceded by a one-byte sub-index.
  if (o->type == ValueType::Bytes) {
    std::vector<uint8_t> whole;
    uint8_t err = kErrNone;
    if (!CollectBytes(kCmdSystem, option, value, valueLength, &whole, &err)) {
      if (err != kErrNone) ReplyUeiError(kCmdSystem, replyOpt, index, err);
      return;
    }
    if (option == 32) {
      if (whole.size() > kMaxName) return ReplyUeiError(kCmdSystem, replyOpt, index, kErrSize);
      settings.name = whole;
    } else {
      if (whole.size() % 4 || whole.size() > kMaxPowerConfig) {
        return ReplyUeiError(kCmdSystem, replyOpt, index, kErrSize);
      }
      settings.powerBehaviorConfig = whole;
    }
    return ReplySetDone(kCmdSystem, option, index);
  }
  uint32_t v = 0;
  if (o->type == ValueType::Byte) {
    if (valueLength != 1 && valueLength != 2) {
      return ReplyUeiError(kCmdSystem, replyOpt, index, kErrSize);
    }
    v = value[valueLength - 1];
  } else if (o->type == ValueType::Int) {
    if (valueLength != 4 && valueLength != 5) {
      return ReplyUeiError(kCmdSystem, replyOpt, index, kErrSize);
    }
    v = ReadInt(value + valueLength - 4, 4);
  }
  switch (option) {
    case 2: settings.router = uint8_t(v); break;
    case 3: settings.heartbeatMs = v * 100; nextBeatAt = NowMs() + settings.heartbeatMs; break;
    case 4: settings.led = uint8_t(v); break;
    case 6: settings.bootSlot = uint8_t(v); break;
    case 10: saved = settings; break;
    case 11:
      ReplySetDone(kCmdSystem, option, index);
      BeginRestart(ModuleMode::Firmware, false);
      return;
    case 15:
      if (cfg.address + 2u * v > 0xAC) return ReplyUeiError(kCmdSystem, replyOpt, index, kErrRange);
      settings.softwareOffset = uint8_t(v);
      break;
    case 20: route = v != 0; break;
    case 24: break;
    case 30: settings.powerBehavior = uint8_t(v); break;
    case 34: settings.powerLimitMax = v; break;
    case 37:
      ApplyFactorySettings();
      saved = settings;
      break;
    case 38: settings.linkInterface = uint8_t(v); break;
    case 42: settings.ledMaxBrightness = uint8_t(v); break;
    default: break;
  }
  ReplySetDone(kCmdSystem, option, index);
}

void VirtualModule::Impl::HandleStoreEntity(uint8_t option, bool set, uint8_t index,
                                            const uint8_t* value, size_t valueLength) {
  const uint8_t replyOpt = set ? uint8_t(option | kOptGet | kOptSet) : option;
  if (index != 0) return ReplyUeiError(kCmdStore, replyOpt, index, kErrIndexRange);
  if (!set || option > 2) return ReplyUeiError(kCmdStore, replyOpt, index, kErrInvalidOption);
  if (valueLength != 4) return ReplyUeiError(kCmdStore, replyOpt, index, kErrSize);
  const uint32_t target = ReadInt(value, 4);
  if (target != (uint32_t(kCmdSystem) << 8)) {
    return ReplyUeiError(kCmdStore, replyOpt, index, kErrInvalidEntity);
  }
  if (option == 0) {
    saved = settings;
  } else if (option == 1) {
    ApplyFactorySettings();
  } else {
    settings = saved;
  }
  ReplySetDone(kCmdStore, option, index);
}

uint8_t VirtualModule::Impl::HasUei(uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t kind) const {
  const bool get = (kind & kOptGet) != 0;
  const bool set = (kind & kOptSet) != 0;
  switch (command) {
    case kCmdSystem: {
      if (index != 0) return kErrIndexRange;
      const SystemOption* o = FindSystemOption(option);
      if (!o) return kErrInvalidOption;
      if ((get && !o->get) || (set && !o->set)) return kErrUnimplemented;
      return kErrNone;
    }
    case kCmdUpgrade:
      if (index != 0) return kErrIndexRange;
      if (option != kUpgradeDataOption) return kErrInvalidOption;
      return (set && !get && cfg.ueiBytes) ? kErrNone : kErrUnimplemented;
    case kCmdStore:
      if (index != 0) return kErrIndexRange;
      if (option > 2) return kErrInvalidOption;
      return (set && !get) ? kErrNone : kErrUnimplemented;
    default:
      return kErrInvalidEntity;
  }
}

void VirtualModule::Impl::HandleInfo(const uint8_t* p, size_t n) {
  if (n < 2) return;
  auto quantity = [](uint8_t command) -> uint8_t {
    switch (command) {
      case kCmdSystem: case kCmdI2C: case kCmdStore: case kCmdUpgrade: return 1;
      default: return 0;
    }
  };
  switch (p[1]) {
    case 0xFF: {
      std::vector<uint8_t> r{kCmdInfo, 0xFF};
      std::vector<uint8_t> b = Int32(build);
      r.insert(r.end(), b.begin(), b.end());
      return Reply(r);
    }
    case 1:
      if (n < 6) return;
      return Reply({kCmdInfo, 1, p[2], p[3], p[4], HasUei(p[2], p[3], p[4], p[5])});
    case 4:
      if (n < 3) return;
      return Reply({kCmdInfo, 4, p[2], quantity(p[2])});
    case 5:
      if (n < 4) return;
      return Reply({kCmdInfo, 5, p[2], p[3], 0});
    case 6:
      if (n < 4) return;
      return Reply({kCmdInfo, 6, p[2], p[3], uint8_t(p[3] < quantity(p[2]) ? 1 : 0)});
    default:
      return;
  }
}

}  // namespace sim
