// Internal state of a VirtualModule, shared by the engine's source files:
// VirtualModule.cpp (threads, parser, output, faults), SystemEntity.cpp
// (system entity, cmdINFO, store entity, UEI helpers), UpgradeEntity.cpp
// (firmware upgrade, flash dump), StoreSlots.cpp (store slots, factory data)
// and I2CBus.cpp (I2C entity and routing).
//
// Every handler runs with `mu` held, called from FromHost on the caller's
// thread; handlers only queue output, the worker delivers it.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/module/VirtualModule.h"

namespace sim {

// Result codes the module reports (the link protocol's numbering).
enum ModuleErr : uint8_t {
  kErrNone = 0,
  kErrParam = 2,
  kErrNotFound = 3,
  kErrBusy = 5,
  kErrIO = 6,
  kErrMode = 7,
  kErrEOF = 10,
  kErrRange = 13,
  kErrSize = 14,
  kErrOverrun = 15,
  kErrIndexRange = 26,
  kErrInvalidEntity = 28,
  kErrInvalidOption = 29,
  kErrUnimplemented = 21,
  kErrPacket = 24,
};

enum : uint8_t {
  kCmdHeartbeat = 0,
  kCmdSystem = 3,
  kCmdSlot = 4,
  kCmdI2C = 8,
  kCmdDebug = 23,
  kCmdInfo = 73,
  kCmdStore = 92,
  kCmdStream = 93,
  kCmdFactory = 94,
  kCmdUpgrade = 95,
  kAddrMagic = 0xAD,
  kAddrForceRoute = 0xAF,
};

constexpr uint8_t kOptGet = 0x40;
constexpr uint8_t kOptSet = 0x80;
constexpr uint8_t kSpecRequest = 0x20;
constexpr uint8_t kSpecError = 0x80;

// Settings of the system entity that can be saved and restored.
struct ModuleSettings {
  uint8_t router = 0;
  uint32_t heartbeatMs = 0;
  uint8_t led = 0;
  uint8_t bootSlot = 0;
  uint8_t softwareOffset = 0;
  uint8_t powerBehavior = 0;
  std::vector<uint8_t> powerBehaviorConfig;
  std::vector<uint8_t> name;
  uint32_t powerLimitMax = 0;
  uint8_t linkInterface = 0;
  uint8_t ledMaxBrightness = 0;
};

struct StoreSlot {
  std::vector<uint8_t> data;
};

struct SlotHandle {
  uint8_t store = 0;
  uint8_t slot = 0;
  bool writing = false;
  size_t offset = 0;
};

// A byte string arriving over several UEI set packets.
struct BytesAssembly {
  uint8_t sequence = 0;
  std::vector<uint8_t> data;
};

struct OutItem {
  uint64_t due = 0;
  bool isEvent = false;
  LinkEvent event = LinkEvent::Drop;
  std::vector<uint8_t> bytes;
};

struct VirtualModule::Impl {
  Impl(VirtualModule* owner, const VirtualModuleConfig& config);

  static uint64_t NowMs();

  // --- output (VirtualModule.cpp) ---
  // A reply to a host request: subject to the reply faults.
  void Reply(const std::vector<uint8_t>& payload);
  // A packet the module sends on its own (no reply faults).
  void Emit(const std::vector<uint8_t>& payload);
  void QueueBytes(std::vector<uint8_t> bytes, uint64_t due);
  void QueueEvent(LinkEvent event);
  // Begins a restart into target mode (after queued output has gone).
  void BeginRestart(ModuleMode target, bool afterUpgrade);

  // --- dispatch (VirtualModule.cpp) ---
  void Parse(const uint8_t* bytes, size_t length);
  void Dispatch(uint8_t address, const uint8_t* payload, size_t length);
  void HandleCommand(const uint8_t* payload, size_t length);

  // --- system entity, cmdINFO, store entity (SystemEntity.cpp) ---
  void HandleUei(const uint8_t* p, size_t n);
  void HandleSystem(uint8_t option, bool get, bool set, uint8_t index, const uint8_t* value,
                    size_t valueLength);
  void HandleStoreEntity(uint8_t option, bool set, uint8_t index, const uint8_t* value,
                         size_t valueLength);
  void HandleInfo(const uint8_t* p, size_t n);
  uint8_t HasUei(uint8_t command, uint8_t option, uint8_t index, uint8_t kind) const;
  void ReplyValue(uint8_t cmd, uint8_t opt, uint8_t idx, const std::vector<uint8_t>& value);
  void ReplySetDone(uint8_t cmd, uint8_t opt, uint8_t idx);
  void ReplyUeiError(uint8_t cmd, uint8_t optByte, uint8_t idx, uint8_t err);
  void ReplyBytes(uint8_t cmd, uint8_t opt, uint8_t idx, const std::vector<uint8_t>& data);
  // Collects one chunk of a byte-string set; true with the whole value when
  // the last chunk arrived; an error code in *err when the chunk is refused.
  bool CollectBytes(uint8_t cmd, uint8_t opt, const uint8_t* chunk, size_t n,
                    std::vector<uint8_t>* whole, uint8_t* err);
  void ApplyFactorySettings();

  // --- upgrade (UpgradeEntity.cpp) ---
  void HandleUpgrade(const uint8_t* p, size_t n);
  void UpgradeDataUei(const std::vector<uint8_t>& data);
  void StageData(const uint8_t* data, size_t n);

  // --- store slots, factory data (StoreSlots.cpp) ---
  void HandleSlot(const uint8_t* p, size_t n);
  void HandleFactory(const uint8_t* p, size_t n);

  // --- I2C and routing (I2CBus.cpp) ---
  void HandleI2C(const uint8_t* p, size_t n);
  VirtualModule* FindNetworkModule(uint8_t address) const;
  void FromNetwork(const uint8_t* packet, size_t length);

  VirtualModule* self;
  VirtualModuleConfig cfg;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  Sink sink;
  LinkEventHandler onEvent;
  uint8_t maxPayload = 28;
  std::thread worker;
  bool running = false;
  bool stopping = false;

  // Identity and mode.
  ModuleMode mode = ModuleMode::Firmware;
  uint32_t serial = 0;
  uint32_t version = 0;
  uint32_t build = 0;
  uint8_t address = 0;
  uint64_t startMs = 0;

  // Session.
  bool attached = false;
  bool route = false;
  std::vector<uint8_t> rx;  // packet being assembled
  uint64_t hostBytes = 0;
  uint64_t dropAfterBytes = 0;  // 0: off; else drop when hostBytes reaches it

  // Heartbeat.
  uint8_t beat = 0;
  uint64_t nextBeatAt = 0;
  std::array<bool, 2> beatPending{};  // an up / down beat not answered yet
  uint64_t lastAnswerAt = 0;
  HeartbeatStats hb;

  // Output and restarts.
  std::deque<OutItem> outq;
  uint64_t lastDue = 0;
  bool awaitingReturn = false;
  uint64_t returnAt = 0;
  ModuleMode returnMode = ModuleMode::Firmware;
  bool returnAfterUpgrade = false;
  uint32_t restarts = 0;
  uint32_t announceLeft = 0;  // loader start announcements still to send
  uint64_t nextAnnounceAt = 0;

  // Faults.
  uint32_t dropReplies = 0;
  uint32_t delayMs = 0;
  bool corruptPending = false;
  size_t corruptIndex = 0;
  uint8_t corruptMask = 0;
  uint32_t shortAcks = 0;
  uint32_t wrongSums = 0;
  uint32_t refusePrepares = 0;
  bool neverReturn = false;

  // System entity.
  ModuleSettings settings;
  ModuleSettings saved;
  std::map<std::pair<uint8_t, uint8_t>, BytesAssembly> assemblies;  // (cmd, opt)

  // Upgrade.
  bool receivingLoader = false;     // an upgrade init started loader reception
  std::vector<FlashBlock> loader;   // loader blocks received
  std::vector<FlashBlock> firmware; // firmware blocks committed
  std::vector<FlashBlock> pendingFirmware;  // being written in the loader
  int currentBlock = -1;            // index into loader or pendingFirmware
  std::vector<uint8_t> staged;      // firmware data not yet committed
  uint32_t sum = 0;                 // checksum since the last sum request

  // Store slots and factory data.
  std::map<std::pair<uint8_t, uint8_t>, StoreSlot> slots;
  std::map<uint8_t, SlotHandle> handles;
  uint8_t nextHandle = 1;
  std::map<uint8_t, std::vector<uint8_t>> factory;
  uint8_t factoryCommand = 0;
  bool factoryActive = false;  // a factory data transfer is under way
  bool factoryWriting = false;
  size_t factoryOffset = 0;
  std::vector<uint8_t> factoryIncoming;

  // I2C: a small register file this module exposes as an I2C device.
  std::array<uint8_t, 256> i2cRegs{};
  uint8_t i2cPointer = 0;
  uint8_t pullup = 0;

  std::vector<std::unique_ptr<VirtualModule>> network;
  // Packets for network modules, passed on once the lock is released.
  std::vector<std::pair<VirtualModule*, std::vector<uint8_t>>> forwards;
};

}  // namespace sim
