// Helpers for driving a VirtualModule in tests: a sink that collects the
// packets the module sends, and a recorder of its link events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/module/VirtualModule.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += ' ';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 15];
  }
  return s;
}

// Wire bytes of a packet: address, length, payload.
inline Bytes Packet(uint8_t address, const Bytes& payload) {
  Bytes p{address, uint8_t(payload.size())};
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

// Collects what the module sends, packet by packet, and its link events.
class Collector {
 public:
  void Attach(sim::VirtualModule& m) {
    m.SetSink([this](const uint8_t* p, size_t n) {
      std::lock_guard<std::mutex> lk(mu_);
      packets_.emplace_back(p, p + n);
      cv_.notify_all();
    });
    m.SetLinkEventHandler([this](sim::LinkEvent e) {
      std::lock_guard<std::mutex> lk(mu_);
      events_.push_back(e);
      cv_.notify_all();
    });
  }

  // The next packet, waiting up to timeoutMs; none on timeout.
  std::optional<Bytes> Next(int timeoutMs = 1000) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return !packets_.empty(); })) {
      return std::nullopt;
    }
    Bytes b = std::move(packets_.front());
    packets_.pop_front();
    return b;
  }

  // The next packet whose payload begins with prefix; others are dropped.
  std::optional<Bytes> NextWith(const Bytes& prefix, int timeoutMs = 1000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      std::optional<Bytes> p = Next(int(left.count()));
      if (!p) return std::nullopt;
      if (p->size() >= prefix.size() + 2 && std::equal(prefix.begin(), prefix.end(), p->begin() + 2)) {
        return p;
      }
    }
  }

  // Everything that arrives within ms.
  std::vector<Bytes> Drain(int ms) {
    std::vector<Bytes> all;
    while (std::optional<Bytes> p = Next(ms)) all.push_back(*p);
    return all;
  }

  bool WaitEvent(sim::LinkEvent e, int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = 0; i < events_.size(); ++i) {
        if (events_[i] == e) {
          events_.erase(events_.begin() + long(i));
          return true;
        }
      }
      return false;
    });
  }

  size_t EventCount() {
    std::lock_guard<std::mutex> lk(mu_);
    return events_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Bytes> packets_;
  std::vector<sim::LinkEvent> events_;
};

// A started module whose output is collected; the host is attached.
struct Rig {
  explicit Rig(const sim::VirtualModuleConfig& c) : module(c) {
    out.Attach(module);
    module.HostAttached();
    started = module.Start();
  }
  void Send(const Bytes& b) { module.FromHost(b.data(), b.size()); }
  sim::VirtualModule module;
  Collector out;
  bool started = false;
};

}  // namespace simtest
