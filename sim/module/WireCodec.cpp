#include "sim/module/WireCodec.h"

namespace sim {

uint8_t Crc8(const uint8_t* bytes, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
    }
  }
  return crc;
}

std::vector<uint8_t> CobsEncode(const uint8_t* bytes, size_t length) {
  std::vector<uint8_t> out;
  out.reserve(length + length / 254 + 2);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(bytes[i]);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  return out;
}

bool CobsDecode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* out) {
  out->clear();
  size_t i = 0;
  while (i < length) {
    uint8_t code = bytes[i++];
    if (code == 0) return false;
    size_t run = code - 1u;
    if (i + run > length) return false;
    for (size_t k = 0; k < run; ++k) {
      if (bytes[i + k] == 0) return false;
      out->push_back(bytes[i + k]);
    }
    i += run;
    if (code != 0xFF && i < length) out->push_back(0);
  }
  return true;
}

std::vector<uint8_t> FramePacket(const uint8_t* packet, size_t length) {
  std::vector<uint8_t> raw(packet, packet + length);
  raw.push_back(Crc8(packet, length));
  std::vector<uint8_t> frame = CobsEncode(raw.data(), raw.size());
  frame.push_back(0);
  return frame;
}

bool CheckFrame(const std::vector<uint8_t>& decoded, size_t* packetLength) {
  if (decoded.size() < 3) return false;
  size_t n = decoded.size() - 1;
  if (static_cast<size_t>(decoded[1]) + 2 != n) return false;
  if (Crc8(decoded.data(), n) != decoded[n]) return false;
  *packetLength = n;
  return true;
}

bool FrameCollector::Push(uint8_t byte) {
  if (byte != 0) {
    if (frame_.size() < max_) {
      frame_.push_back(byte);
    } else {
      tooLong_ = true;
    }
    return false;
  }
  if (frame_.empty() && !tooLong_) return false;  // repeated delimiters
  ready_ = true;
  return true;
}

std::vector<uint8_t> FrameCollector::Take(bool* tooLong) {
  std::vector<uint8_t> frame;
  frame.swap(frame_);
  if (tooLong) *tooLong = tooLong_;
  tooLong_ = false;
  ready_ = false;
  return frame;
}

}  // namespace sim
