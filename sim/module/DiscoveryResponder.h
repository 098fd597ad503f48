// Answers the network discovery request for one virtual module: a 16-byte
// datagram starting with 0x01 on UDP port 9888 (multicast group 232.2.2.2)
// gets a 16-byte reply, sent to the requester's address on UDP port 9889:
//   byte 1 module address, bytes 2-3 TCP port (little-endian), bytes 4-7
//   serial number (little-endian, the one the module presents now), byte 12
//   model code; the other bytes 0.
//
// Joining the multicast group announces membership on the network, so run a
// responder that joins only inside a network namespace. Tests use it with
// plain unicast on 127.0.0.1 and ports of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

class VirtualModule;

struct DiscoveryResponderConfig {
  std::string bindAddress = "0.0.0.0";  // local address the request socket binds
  uint16_t requestPort = 9888;          // 0: a free port (tests)
  uint16_t replyPort = 9889;
  bool joinGroup = true;                // join 232.2.2.2
  std::string groupInterface = "0.0.0.0";  // interface address for the join
  uint16_t tcpPort = 0;                 // advertised link port
};

class DiscoveryResponder {
 public:
  DiscoveryResponder(VirtualModule& module, const DiscoveryResponderConfig& config);
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  bool Start(std::string* error);
  void Stop();
  uint16_t RequestPort() const;  // the port bound (after Start)
  uint32_t Answered() const;     // replies sent

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
