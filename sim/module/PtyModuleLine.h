// Puts a VirtualModule behind a pseudo-terminal: the module side of a serial
// link. Every packet travels as one COBS frame (packet bytes and their CRC-8,
// ended by a 0 byte), as a module on a serial line sends it; frames from the
// host are checked the same way and bad ones are counted and dropped.
//
// The line keeps its own descriptor of the terminal side open and raw, so the
// path stays valid and quiet while hosts open and close it. Packets the
// module sends while no host reads wait in the terminal's buffer (a host
// discards them when it opens the line) or are dropped once it is full.
//
// The line installs itself as the module's sink and link event handler and
// limits the module's payloads to 27 bytes (a frame holds at most 32 bytes).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

class VirtualModule;

class PtyModuleLine {
 public:
  explicit PtyModuleLine(VirtualModule& module);
  ~PtyModuleLine();
  PtyModuleLine(const PtyModuleLine&) = delete;
  PtyModuleLine& operator=(const PtyModuleLine&) = delete;

  // Opens the pseudo-terminal and starts the I/O thread. False with a reason.
  bool Start(std::string* error);
  void Stop();

  const std::string& Path() const;  // the terminal path a host opens
  uint32_t FramesIn() const;        // good frames received
  uint32_t BadFrames() const;       // frames that failed COBS, length or CRC
  uint32_t FramesOut() const;       // frames sent
  // Fault: the next frame sent gets a wrong CRC.
  void CorruptNextFrame();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with the callbacks given to the module
};

}  // namespace sim
