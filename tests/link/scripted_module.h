// The module end of a socket-pair link, for tests and benchmarks. A thread
// records every message the host writes (the bytes and each write's size) and
// parses them into packets. Optionally it answers by itself: sync requests
// (AD 00) with an empty packet from its address, and packets to its address
// with an echo of the payload.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// "AD 00 04" -> {0xAD, 0x00, 0x04}; spaces are ignored.
Bytes HexBytes(const std::string& text);
std::string ToHex(const Bytes& bytes);

class ScriptedModule {
 public:
  // Takes ownership of fd (closed by the destructor).
  explicit ScriptedModule(int fd);
  ~ScriptedModule();
  ScriptedModule(const ScriptedModule&) = delete;
  ScriptedModule& operator=(const ScriptedModule&) = delete;

  // Automatic answers; address 0 switches the sync answer off.
  void AnswerSync(uint8_t address);
  void Echo(bool on);

  // Sends bytes to the host as one message.
  void Send(const Bytes& bytes);

  // Waits up to timeout for n more bytes after the cursor and returns them
  // (fewer on timeout); the cursor moves past what is returned.
  Bytes Next(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Moves the cursor to the end of what has arrived so far.
  void SkipAll();
  // Waits until the bytes after the cursor contain needle; moves the cursor
  // past it. False on timeout.
  bool WaitFor(const Bytes& needle, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits until at least n bytes arrived in total.
  bool WaitTotal(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));

  Bytes Received();
  std::vector<size_t> WriteSizes();
  size_t CountOf(const Bytes& needle);

 private:
  void Run();
  void HandlePacket(const Bytes& packet);

  int fd_;
  int wakeFd_[2];
  std::mutex mutex_;
  std::condition_variable cond_;
  Bytes received_;
  std::vector<size_t> writeSizes_;
  size_t cursor_ = 0;
  size_t parsed_ = 0;
  uint8_t syncAddress_ = 0;
  bool echo_ = false;
  std::thread thread_;
};
