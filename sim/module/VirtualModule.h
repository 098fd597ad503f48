// A virtual instrument module: the module side of the packet link, without
// any transport. Bytes from the host go in through FromHost (or FromHostPacket
// for framed transports); whole packets to the host come out through the sink.
// Adapters (TcpModuleServer, PtyModuleLine, a USB device) carry those bytes.
//
// Packets on the wire are [address][length][payload 0..28]. The engine answers
// sync requests and the address query (0xAD), follows the route packet (0xAF),
// sends heartbeats at a steady pace and tracks the host's answers, serves the
// system entity, cmdINFO, cmdDEBUG, store slots, factory data, the I2C entity
// and the whole firmware-upgrade exchange, on the packet path and on the
// UEI-bytes path. A routing module carries further virtual modules on its I2C
// network; their packets travel over the router's link.
//
// Threads: every public member may be called from any thread. The engine owns
// one worker thread (started by Start, joined by Stop or the destructor) that
// delivers output, sends heartbeats and times restarts. The sink and the link
// event handler are only ever called from that worker thread, one call at a
// time and never with an engine lock held, so they may call back into the
// engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Configuration of one module. Defaults describe a plausible module.
struct VirtualModuleConfig {
  uint32_t serial = 0x1A2B3C4D;     // serial number
  uint8_t model = 0x13;             // model code
  uint32_t version = 0;             // packed version word; 0: 2.12.2
  uint32_t build = 1000;            // firmware build number
  std::string name = "VirtualModule";  // device name (byte string, at most 32)
  uint8_t address = 2;              // module address (even, non-zero)
  uint8_t router = 0;               // router address it reports; 0: its own
  uint32_t heartbeatMs = 1000;      // heartbeat period; 0: no heartbeats
  bool ueiBytes = true;             // upgrade data as UEI byte values (option 10)
  bool pooledPackets = true;        // protocol features bit 31
  uint16_t blockSize = 1024;        // firmware block size named by prepare
  uint32_t loadBase = 0x20000000;   // load base named by the upgrade init reply
  uint32_t loaderSerial = 0;        // serial shown while in the loader; 0: same
  uint32_t restartMs = 300;         // time off the link during a restart
  bool startInLoader = false;       // begin life in the loader (recovery)
  bool answerLoad = false;          // reply to the load request before restarting
  uint32_t versionAfterUpgrade = 0; // version after a firmware reboot; 0: same
  uint32_t buildAfterUpgrade = 0;   // build after a firmware reboot; 0: same
  std::array<uint32_t, 4> uniqueId{};  // all 0: derived from the serial number
  std::string dumpDir;              // where flashed images are written; empty: none
  // Modules on this module's I2C network (it routes for them). Their address
  // is their I2C address; their router address is this module's address.
  std::vector<VirtualModuleConfig> network;
};

// One block the module received: a loader block (after the upgrade init) or
// a firmware block (in the loader; only committed bytes).
struct FlashBlock {
  uint8_t flags = 0;
  uint32_t address = 0;
  std::vector<uint8_t> data;
};

enum class ModuleMode { Firmware, Loader, Restarting };

// What the engine asks of its transport.
enum class LinkEvent {
  Drop,    // close the host's connection now; the module stays up
  Leave,   // the module restarts: close the connection, stop accepting
  Return,  // the module is back (perhaps under another serial): accept again
};

struct HeartbeatStats {
  uint32_t sent = 0;        // heartbeats sent in this session
  uint32_t answered = 0;    // answers to beats sent (each beat counted once)
  uint32_t unexpected = 0;  // answers to no beat outstanding
  int64_t lastAnswerAgeMs = -1;  // since the last good answer; -1: none yet
};

class VirtualModule {
 public:
  using Sink = std::function<void(const uint8_t* packet, size_t length)>;
  using LinkEventHandler = std::function<void(LinkEvent)>;

  explicit VirtualModule(const VirtualModuleConfig& config);
  ~VirtualModule();  // stops the worker
  VirtualModule(const VirtualModule&) = delete;
  VirtualModule& operator=(const VirtualModule&) = delete;

  // Output: one whole packet per call. Without a sink output is discarded.
  void SetSink(Sink sink);
  void SetLinkEventHandler(LinkEventHandler handler);
  // Largest payload the module sends (28; 27 on a COBS-framed line). Byte
  // strings and data replies are cut into chunks that fit.
  void SetMaxPayload(uint8_t maxPayload);

  // Starts the worker thread (and those of the network modules). False when
  // a thread cannot be made. Stop joins them; both may be called repeatedly.
  bool Start();
  void Stop();

  // Session boundaries, told by the transport: a host connected / went away.
  // Attach starts a fresh session (parser, route flag and heartbeat count
  // reset); heartbeats are sent only while a host is attached.
  void HostAttached();
  void HostDetached();

  // Bytes from the host, any split. Ignored while restarting.
  void FromHost(const uint8_t* bytes, size_t length);
  // Exactly one packet (address, length, payload) from a framed transport.
  void FromHostPacket(const uint8_t* packet, size_t length);

  // State.
  ModuleMode Mode() const;
  bool OnBus() const;              // false while restarting
  uint32_t CurrentSerial() const;  // the serial it presents now
  uint8_t Address() const;
  uint8_t Model() const;
  bool Routing() const;            // route flag (0xAF packet or routeToMe)
  HeartbeatStats Heartbeats() const;
  uint32_t Restarts() const;       // restarts completed (back on the link)
  // Waits up to timeoutMs for the mode; true when reached.
  bool WaitForMode(ModuleMode mode, uint32_t timeoutMs) const;
  // Waits up to timeoutMs until Restarts() >= count.
  bool WaitForRestarts(uint32_t count, uint32_t timeoutMs) const;
  // The module at that I2C address on this module's network, or null.
  VirtualModule* NetworkModule(uint8_t address);

  // What was flashed: loader blocks (replaced by each upgrade init) and
  // firmware blocks (replaced by each prepare of the same address).
  std::vector<FlashBlock> LoaderImage() const;
  std::vector<FlashBlock> FirmwareImage() const;
  // Writes "loader.bin"/"loader.map" and "firmware.bin"/"firmware.map" into
  // dir (each .bin the blocks' data back to back, each .map one line per
  // block "flags address length" in hex). False with a reason on failure.
  bool DumpFlash(const std::string& dir, std::string* error) const;

  // Faults. Counts apply to the next n occurrences; 0 switches off.
  void DropReplies(uint32_t n);               // replies to requests vanish
  void DelayReplies(uint32_t ms);             // every reply late by ms
  void CorruptNextReply(size_t byteIndex, uint8_t xorMask);  // one wire byte
  void ShortAcks(uint32_t n);                 // upgrade data acked one short
  void WrongChecksums(uint32_t n);            // upgrade checksum off by one
  void RefusePrepares(uint32_t n);            // prepare answered with an error
  void DropLinkAfterBytes(uint64_t n);        // drop after n more host bytes
  void NeverReturnFromLoader(bool on);        // load: leave and stay away
  void DropLink();                            // drop the host's connection now

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Packs major.minor.patch into a version word (the layout modules report).
uint32_t PackVersion(uint8_t major, uint8_t minor, uint8_t patch);

}  // namespace sim
