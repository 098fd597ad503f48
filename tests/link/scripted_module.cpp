#include "tests/link/scripted_module.h"

#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

Bytes HexBytes(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const Bytes& bytes) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(b, sizeof(b), i ? " %02X" : "%02X", bytes[i]);
    out += b;
  }
  return out;
}

ScriptedModule::ScriptedModule(int fd) : fd_(fd) {
  if (pipe(wakeFd_) != 0) wakeFd_[0] = wakeFd_[1] = -1;
  thread_ = std::thread([this] { Run(); });
}

ScriptedModule::~ScriptedModule() {
  if (wakeFd_[1] >= 0) {
    char c = 0;
    (void)!write(wakeFd_[1], &c, 1);
  }
  thread_.join();
  close(fd_);
  close(wakeFd_[0]);
  close(wakeFd_[1]);
}

void ScriptedModule::AnswerSync(uint8_t address) {
  std::lock_guard<std::mutex> g(mutex_);
  syncAddress_ = address;
}

void ScriptedModule::Echo(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  echo_ = on;
}

void ScriptedModule::Send(const Bytes& bytes) {
  (void)!send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void ScriptedModule::Run() {
  uint8_t buf[8192];
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return;
    ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
    if (n <= 0) {
      if (n == 0) return;  // host end closed
      continue;
    }
    std::vector<Bytes> packets;
    {
      std::lock_guard<std::mutex> g(mutex_);
      received_.insert(received_.end(), buf, buf + n);
      writeSizes_.push_back(static_cast<size_t>(n));
      // The host always writes whole packets: address, length, payload.
      while (parsed_ + 2 <= received_.size() && parsed_ + 2 + received_[parsed_ + 1] <= received_.size()) {
        const size_t len = 2u + received_[parsed_ + 1];
        packets.emplace_back(received_.begin() + parsed_, received_.begin() + parsed_ + len);
        parsed_ += len;
      }
    }
    cond_.notify_all();
    for (const Bytes& packet : packets) HandlePacket(packet);
  }
}

void ScriptedModule::HandlePacket(const Bytes& packet) {
  uint8_t sync;
  bool echo;
  {
    std::lock_guard<std::mutex> g(mutex_);
    sync = syncAddress_;
    echo = echo_;
  }
  if (packet[0] == 0xAD && packet[1] == 0 && sync) {
    Send({sync, 0});
  } else if (echo && (packet[0] & 1) == 0) {
    Send(packet);
  }
}

Bytes ScriptedModule::Next(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(mutex_);
  cond_.wait_for(g, timeout, [&] { return received_.size() - cursor_ >= n; });
  const size_t take = std::min(n, received_.size() - cursor_);
  Bytes out(received_.begin() + cursor_, received_.begin() + cursor_ + take);
  cursor_ += take;
  return out;
}

void ScriptedModule::SkipAll() {
  std::lock_guard<std::mutex> g(mutex_);
  cursor_ = received_.size();
}

bool ScriptedModule::WaitFor(const Bytes& needle, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(mutex_);
  size_t at = 0;
  bool found = cond_.wait_for(g, timeout, [&] {
    auto it = std::search(received_.begin() + cursor_, received_.end(), needle.begin(), needle.end());
    if (it == received_.end()) return false;
    at = static_cast<size_t>(it - received_.begin());
    return true;
  });
  if (found) cursor_ = at + needle.size();
  return found;
}

bool ScriptedModule::WaitTotal(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(mutex_);
  return cond_.wait_for(g, timeout, [&] { return received_.size() >= n; });
}

Bytes ScriptedModule::Received() {
  std::lock_guard<std::mutex> g(mutex_);
  return received_;
}

std::vector<size_t> ScriptedModule::WriteSizes() {
  std::lock_guard<std::mutex> g(mutex_);
  return writeSizes_;
}

size_t ScriptedModule::CountOf(const Bytes& needle) {
  std::lock_guard<std::mutex> g(mutex_);
  size_t count = 0;
  auto it = received_.begin();
  while ((it = std::search(it, received_.end(), needle.begin(), needle.end())) != received_.end()) {
    count++;
    it += static_cast<long>(needle.size());
  }
  return count;
}
