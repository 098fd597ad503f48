// The module's own framing helpers: CRC-8 and COBS as a serial module uses
// them. Written for the module side on purpose (not shared with the host
// code) so that a fault in one side's framing shows up against the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// CRC-8, reflected polynomial 0x8C, initial value 0, no final xor.
uint8_t Crc8(const uint8_t* bytes, size_t length);

// COBS encoding of length bytes (no delimiter appended).
std::vector<uint8_t> CobsEncode(const uint8_t* bytes, size_t length);

// Decodes one COBS block (without its delimiter). False when malformed.
bool CobsDecode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* out);

// One packet as a serial frame: COBS(packet + CRC-8) followed by 0.
std::vector<uint8_t> FramePacket(const uint8_t* packet, size_t length);

// Checks a decoded frame (packet bytes + CRC): length byte consistent and CRC
// right. On success *packetLength is the number of packet bytes.
bool CheckFrame(const std::vector<uint8_t>& decoded, size_t* packetLength);

// Collects serial bytes into frames. Push returns true when a 0 byte closed a
// non-empty frame; Take then yields its encoded bytes. Frames longer than
// maxEncoded keep only their first maxEncoded bytes and are marked too long.
class FrameCollector {
 public:
  explicit FrameCollector(size_t maxEncoded = 31) : max_(maxEncoded) {}
  bool Push(uint8_t byte);
  std::vector<uint8_t> Take(bool* tooLong);

 private:
  size_t max_;
  std::vector<uint8_t> frame_;
  bool tooLong_ = false;
  bool ready_ = false;
};

}  // namespace sim
