// Byte-order helpers shared by the BirdFile sources. The file stores its
// numbers big-endian; the module's memory images are little-endian.
#pragma once

#include <stdint.h>

namespace bird_bytes {

// Four bytes, most significant first.
inline uint32_t GetInt(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// Two bytes, most significant first.
inline uint16_t GetShort(const unsigned char* p) { return (uint16_t)(p[0] << 8 | p[1]); }

inline uint32_t GetLE32(const unsigned char* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline void PutLE32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

}  // namespace bird_bytes
