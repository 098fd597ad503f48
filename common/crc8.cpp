#include "common/crc8.h"

#include <array>

namespace {

// One table entry per byte value: the CRC of that byte alone.
constexpr std::array<uint8_t, 256> sMakeTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    uint8_t crc = static_cast<uint8_t>(value);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C)
                      : static_cast<uint8_t>(crc >> 1);
    }
    table[value] = crc;
  }
  return table;
}

constexpr std::array<uint8_t, 256> _crc8LUT = sMakeTable();

}  // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte) {
  return _crc8LUT[static_cast<uint8_t>(crc ^ byte)];
}

uint8_t crc8_create(const uint8_t* bytes, size_t length) {
  uint8_t crc = 0;
  if (!bytes) return crc;
  for (size_t i = 0; i < length; ++i) crc = crc8_update(crc, bytes[i]);
  return crc;
}

bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected) {
  return crc8_create(bytes, length) == expected;
}
