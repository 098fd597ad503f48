#include "sim/module/VirtualModule.h"

#include <algorithm>

#include "sim/module/ModuleImpl.h"

namespace sim {

namespace {

constexpr uint64_t kAnnouncePeriodMs = 200;
constexpr uint32_t kAnnounceCount = 25;
constexpr uint64_t kIdleWaitMs = 1000;  // the worker re-checks at least this often

uint32_t DefaultVersion() { return PackVersion(2, 12, 2); }

}  // namespace

uint32_t PackVersion(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor >= 15)) {
    return 0x2F000000u | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
  }
  return (uint32_t(major & 0x0F) << 28) | (uint32_t(minor & 0x0F) << 24) | patch;
}

VirtualModule::Impl::Impl(VirtualModule* owner, const VirtualModuleConfig& config)
    : self(owner), cfg(config) {
  if (cfg.version == 0) cfg.version = DefaultVersion();
  if (cfg.address == 0 || (cfg.address & 1)) cfg.address = 2;
  if (cfg.name.size() > 32) cfg.name.resize(32);
  if (cfg.uniqueId == std::array<uint32_t, 4>{}) {
    cfg.uniqueId = {cfg.serial, cfg.serial ^ 0xA5A5A5A5u, uint32_t(cfg.model) << 24 | 0x00C0FFEEu,
                    ~cfg.serial};
  }
  mode = cfg.startInLoader ? ModuleMode::Loader : ModuleMode::Firmware;
  serial = (cfg.startInLoader && cfg.loaderSerial) ? cfg.loaderSerial : cfg.serial;
  version = cfg.version;
  build = cfg.build;
  address = cfg.address;
  startMs = NowMs();
  ApplyFactorySettings();
  saved = settings;
  // Factory data block 0 holds a record of the module's identity.
  std::vector<uint8_t> record;
  const char* tag = "VMOD";
  record.insert(record.end(), tag, tag + 4);
  for (int shift = 24; shift >= 0; shift -= 8) record.push_back(uint8_t(cfg.serial >> shift));
  record.push_back(cfg.model);
  for (int i = 0; i < 48; ++i) record.push_back(uint8_t(i * 7 + cfg.model));
  factory[0] = record;
  for (int i = 0; i < 256; ++i) i2cRegs[i] = uint8_t(i ^ address);
  for (const VirtualModuleConfig& c : cfg.network) {
    VirtualModuleConfig child = c;
    child.router = address;
    child.heartbeatMs = 0;  // a routed module does not beat on the router's link
    auto m = std::make_unique<VirtualModule>(child);
    m->impl_->attached = true;
    VirtualModule::Impl* router = this;
    m->SetSink([router](const uint8_t* p, size_t n) { router->FromNetwork(p, n); });
    network.push_back(std::move(m));
  }
}

uint64_t VirtualModule::Impl::NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

void VirtualModule::Impl::QueueBytes(std::vector<uint8_t> bytes, uint64_t due) {
  due = std::max(due, lastDue);  // output leaves in the order it was made
  lastDue = due;
  OutItem item;
  item.due = due;
  item.bytes = std::move(bytes);
  outq.push_back(std::move(item));
  cv.notify_all();
}

void VirtualModule::Impl::QueueEvent(LinkEvent event) {
  OutItem item;
  item.due = std::max(NowMs(), lastDue);
  lastDue = item.due;
  item.isEvent = true;
  item.event = event;
  outq.push_back(std::move(item));
  cv.notify_all();
}

void VirtualModule::Impl::Emit(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> packet;
  packet.reserve(payload.size() + 2);
  packet.push_back(address);
  packet.push_back(uint8_t(payload.size()));
  packet.insert(packet.end(), payload.begin(), payload.end());
  QueueBytes(std::move(packet), NowMs());
}

void VirtualModule::Impl::Reply(const std::vector<uint8_t>& payload) {
  if (dropReplies > 0) {
    --dropReplies;
    return;
  }
  std::vector<uint8_t> packet;
  packet.push_back(address);
  packet.push_back(uint8_t(payload.size()));
  packet.insert(packet.end(), payload.begin(), payload.end());
  if (corruptPending && corruptIndex < packet.size()) {
    packet[corruptIndex] ^= corruptMask;
    corruptPending = false;
  }
  // The clock counts whole milliseconds: one more keeps a delay from being
  // cut short by the part of a millisecond already gone.
  QueueBytes(std::move(packet), delayMs ? NowMs() + delayMs + 1 : NowMs());
}

void VirtualModule::Impl::BeginRestart(ModuleMode target, bool afterUpgrade) {
  mode = ModuleMode::Restarting;
  returnMode = target;
  returnAfterUpgrade = afterUpgrade;
  announceLeft = 0;
  rx.clear();
  assemblies.clear();
  cv.notify_all();
  QueueEvent(LinkEvent::Leave);
}

void VirtualModule::Impl::Parse(const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (mode == ModuleMode::Restarting) return;
    uint8_t b = bytes[i];
    if (rx.empty()) {
      if (b == 0) continue;  // never an address: skip until one comes
      rx.push_back(b);
      continue;
    }
    if (rx.size() == 1 && b > 28) {  // no such length: start over
      rx.clear();
      continue;
    }
    rx.push_back(b);
    if (rx.size() == size_t(rx[1]) + 2) {
      std::vector<uint8_t> packet;
      packet.swap(rx);
      Dispatch(packet[0], packet.data() + 2, packet.size() - 2);
    }
  }
}

void VirtualModule::Impl::Dispatch(uint8_t to, const uint8_t* payload, size_t length) {
  if (to == kAddrMagic) {
    if (length == 0) Emit({});  // sync request and address query
    return;
  }
  if (to == kAddrForceRoute) {
    if (length == 1) route = payload[0] != 0;
    return;
  }
  if (to == address) {
    HandleCommand(payload, length);
    return;
  }
  VirtualModule* m = FindNetworkModule(to);
  if (m && route && m->OnBus()) {
    std::vector<uint8_t> packet{to, uint8_t(length)};
    packet.insert(packet.end(), payload, payload + length);
    forwards.emplace_back(m, std::move(packet));
  }
}

void VirtualModule::Impl::HandleCommand(const uint8_t* p, size_t n) {
  if (n == 0) return;
  if (p[0] == kCmdHeartbeat) {
    // An answer names the beat it answers (beat + 2); a late answer still
    // counts as long as that beat was not answered already.
    const int answered = n == 2 ? int(p[1]) - 2 : -1;
    if (answered == 0 || answered == 1) {
      if (beatPending[size_t(answered)]) {
        ++hb.answered;
        beatPending[size_t(answered)] = false;
        lastAnswerAt = NowMs();
        return;
      }
    }
    ++hb.unexpected;
    return;
  }
  announceLeft = 0;  // the host is talking to the loader: it knows it started
  switch (p[0]) {
    case kCmdSlot:
      HandleSlot(p, n);
      return;
    case kCmdI2C:
      HandleI2C(p, n);
      return;
    case kCmdDebug:
      Reply(std::vector<uint8_t>(p, p + n));
      return;
    case kCmdInfo:
      HandleInfo(p, n);
      return;
    case kCmdFactory:
      HandleFactory(p, n);
      return;
    case kCmdUpgrade:
      if (n >= 3 && (p[1] & (kOptGet | kOptSet))) {
        HandleUei(p, n);  // option 10: upgrade data as a byte string
      } else {
        HandleUpgrade(p, n);
      }
      return;
    case 1: case 2: case 9: case 24: case 173: case 175:
      return;  // not UEI exchanges; nothing this module offers
    default:
      HandleUei(p, n);
      return;
  }
}

// ---------------------------------------------------------------------------

VirtualModule::VirtualModule(const VirtualModuleConfig& config)
    : impl_(std::make_unique<Impl>(this, config)) {}

VirtualModule::~VirtualModule() { Stop(); }

void VirtualModule::SetSink(Sink sink) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->sink = std::move(sink);
}

void VirtualModule::SetLinkEventHandler(LinkEventHandler handler) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->onEvent = std::move(handler);
}

void VirtualModule::SetMaxPayload(uint8_t maxPayload) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->maxPayload = std::clamp<uint8_t>(maxPayload, 8, 28);
  for (auto& m : impl_->network) m->SetMaxPayload(maxPayload);
}

bool VirtualModule::Start() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lk(d.mu);
    if (d.running) return true;
    d.stopping = false;
    d.running = true;
  }
  for (auto& m : d.network) {
    if (!m->Start()) {
      Stop();
      return false;
    }
  }
  try {
    d.worker = std::thread([&d] {
      std::unique_lock<std::mutex> lk(d.mu);
      while (!d.stopping) {
        uint64_t now = Impl::NowMs();
        std::vector<OutItem> deliver;
        if (d.awaitingReturn && now >= d.returnAt) {
          d.awaitingReturn = false;
          d.mode = d.returnMode;
          if (d.mode == ModuleMode::Loader) {
            d.serial = d.cfg.loaderSerial ? d.cfg.loaderSerial : d.cfg.serial;
            d.announceLeft = kAnnounceCount;
            d.nextAnnounceAt = now;
          } else {
            d.serial = d.cfg.serial;
            if (d.returnAfterUpgrade) {
              if (d.cfg.versionAfterUpgrade) d.version = d.cfg.versionAfterUpgrade;
              if (d.cfg.buildAfterUpgrade) d.build = d.cfg.buildAfterUpgrade;
            }
            d.settings = d.saved;  // a restart runs on the saved settings
            d.address = uint8_t(d.cfg.address + 2 * d.settings.softwareOffset);
          }
          d.route = false;
          d.rx.clear();
          d.startMs = now;
          ++d.restarts;
          OutItem back;
          back.isEvent = true;
          back.event = LinkEvent::Return;
          deliver.push_back(std::move(back));
          d.cv.notify_all();
        }
        bool live = d.attached && d.mode != ModuleMode::Restarting;
        if (live && d.settings.heartbeatMs && now >= d.nextBeatAt) {
          d.beat = uint8_t(d.hb.sent & 1);  // up, down, up, ...
          OutItem beat;
          beat.bytes = {d.address, 2, kCmdHeartbeat, d.beat};
          deliver.push_back(std::move(beat));
          ++d.hb.sent;
          d.beatPending[d.beat] = true;
          d.nextBeatAt = std::max(d.nextBeatAt + d.settings.heartbeatMs, now + 1);
        }
        if (live && d.announceLeft && now >= d.nextAnnounceAt) {
          --d.announceLeft;
          d.nextAnnounceAt = now + kAnnouncePeriodMs;
          OutItem ann;
          ann.bytes = {d.address, 2, kCmdUpgrade, 0x02};
          deliver.push_back(std::move(ann));
        }
        while (!d.outq.empty() && d.outq.front().due <= now) {
          deliver.push_back(std::move(d.outq.front()));
          d.outq.pop_front();
        }
        if (!deliver.empty()) {
          Sink sink = d.sink;
          LinkEventHandler onEvent = d.onEvent;
          lk.unlock();
          for (OutItem& item : deliver) {
            if (!item.isEvent) {
              if (sink) sink(item.bytes.data(), item.bytes.size());
              continue;
            }
            if (item.event == LinkEvent::Leave && !d.cfg.dumpDir.empty()) {
              std::string ignored;
              d.self->DumpFlash(d.cfg.dumpDir, &ignored);
            }
            if (onEvent) onEvent(item.event);
            if (item.event == LinkEvent::Leave) {
              std::lock_guard<std::mutex> relk(d.mu);
              d.outq.clear();
              d.awaitingReturn = !d.neverReturn;
              d.returnAt = Impl::NowMs() + d.cfg.restartMs;
            }
          }
          lk.lock();
          continue;
        }
        uint64_t wake = now + kIdleWaitMs;
        if (d.awaitingReturn) wake = std::min(wake, d.returnAt);
        if (live && d.settings.heartbeatMs) wake = std::min(wake, d.nextBeatAt);
        if (live && d.announceLeft) wake = std::min(wake, d.nextAnnounceAt);
        if (!d.outq.empty()) wake = std::min(wake, d.outq.front().due);
        if (wake > now) d.cv.wait_for(lk, std::chrono::milliseconds(wake - now));
      }
    });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lk(d.mu);
    d.running = false;
    return false;
  }
  return true;
}

void VirtualModule::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lk(d.mu);
    d.stopping = true;
    d.cv.notify_all();
  }
  if (d.worker.joinable()) d.worker.join();
  for (auto& m : d.network) m->Stop();
  std::lock_guard<std::mutex> lk(d.mu);
  d.running = false;
}

void VirtualModule::HostAttached() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  Impl& d = *impl_;
  d.attached = true;
  d.route = false;
  d.rx.clear();
  d.assemblies.clear();
  d.hb = HeartbeatStats{};
  d.beatPending = {};
  d.lastAnswerAt = 0;
  d.nextBeatAt = Impl::NowMs() + d.settings.heartbeatMs;
  d.hostBytes = 0;
  // Output of an earlier session does not belong to this one.
  std::deque<OutItem> keep;
  for (OutItem& item : d.outq) {
    if (item.isEvent) keep.push_back(std::move(item));
  }
  d.outq.swap(keep);
  d.cv.notify_all();
}

void VirtualModule::HostDetached() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  Impl& d = *impl_;
  d.attached = false;
  d.route = false;
  std::deque<OutItem> keep;
  for (OutItem& item : d.outq) {
    if (item.isEvent) keep.push_back(std::move(item));
  }
  d.outq.swap(keep);
}

void VirtualModule::FromHost(const uint8_t* bytes, size_t length) {
  std::vector<std::pair<VirtualModule*, std::vector<uint8_t>>> forwards;
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    Impl& d = *impl_;
    if (d.mode == ModuleMode::Restarting) return;
    size_t take = length;
    bool drop = false;
    if (d.dropAfterBytes) {
      uint64_t left = d.dropAfterBytes - d.hostBytes;
      if (left <= length) {
        take = size_t(left);
        drop = true;
      }
    }
    d.hostBytes += take;
    d.Parse(bytes, take);
    forwards.swap(d.forwards);
    if (drop) {
      d.dropAfterBytes = 0;
      d.rx.clear();
      d.QueueEvent(LinkEvent::Drop);
    }
  }
  // Packets for modules on the network pass through the router unchanged.
  for (auto& f : forwards) f.first->FromHostPacket(f.second.data(), f.second.size());
}

void VirtualModule::FromHostPacket(const uint8_t* packet, size_t length) {
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->rx.clear();
  }
  FromHost(packet, length);
}

ModuleMode VirtualModule::Mode() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->mode;
}

bool VirtualModule::OnBus() const { return Mode() != ModuleMode::Restarting; }

uint32_t VirtualModule::CurrentSerial() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->serial;
}

uint8_t VirtualModule::Address() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->address;
}

uint8_t VirtualModule::Model() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->cfg.model;
}

bool VirtualModule::Routing() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->route;
}

HeartbeatStats VirtualModule::Heartbeats() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  HeartbeatStats s = impl_->hb;
  s.lastAnswerAgeMs = impl_->lastAnswerAt ? int64_t(Impl::NowMs() - impl_->lastAnswerAt) : -1;
  return s;
}

uint32_t VirtualModule::Restarts() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->restarts;
}

bool VirtualModule::WaitForMode(ModuleMode mode, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lk(impl_->mu);
  return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                            [&] { return impl_->mode == mode; });
}

bool VirtualModule::WaitForRestarts(uint32_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lk(impl_->mu);
  return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                            [&] { return impl_->restarts >= count; });
}

VirtualModule* VirtualModule::NetworkModule(uint8_t address) {
  return impl_->FindNetworkModule(address);
}

void VirtualModule::DropReplies(uint32_t n) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->dropReplies = n;
}

void VirtualModule::DelayReplies(uint32_t ms) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->delayMs = ms;
}

void VirtualModule::CorruptNextReply(size_t byteIndex, uint8_t xorMask) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->corruptPending = xorMask != 0;
  impl_->corruptIndex = byteIndex;
  impl_->corruptMask = xorMask;
}

void VirtualModule::ShortAcks(uint32_t n) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->shortAcks = n;
}

void VirtualModule::WrongChecksums(uint32_t n) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->wrongSums = n;
}

void VirtualModule::RefusePrepares(uint32_t n) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->refusePrepares = n;
}

void VirtualModule::DropLinkAfterBytes(uint64_t n) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->dropAfterBytes = n ? impl_->hostBytes + n : 0;
}

void VirtualModule::NeverReturnFromLoader(bool on) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->neverReturn = on;
}

void VirtualModule::DropLink() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->rx.clear();
  impl_->QueueEvent(LinkEvent::Drop);
}

}  // namespace sim
