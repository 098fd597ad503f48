#include "updater/base64.h"

#include <stdint.h>
#include <stdlib.h>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 6-bit value of a base64 character; "=" counts as 0; -1 outside the alphabet.
int _sextet(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 0;
  return -1;
}

}  // namespace

unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* outLength) {
  if (text == nullptr || outLength == nullptr || length == 0 || length % 4 != 0) return nullptr;

  unsigned long size = length / 4 * 3;
  if (text[length - 1] == '=') size--;
  if (text[length - 2] == '=') size--;

  unsigned char* out = static_cast<unsigned char*>(malloc(size + 1));
  if (out == nullptr) return nullptr;

  unsigned long pos = 0;
  for (unsigned long i = 0; i < length; i += 4) {
    uint32_t group = 0;
    for (unsigned long k = 0; k < 4; k++) {
      int value = _sextet(static_cast<unsigned char>(text[i + k]));
      if (value < 0) {
        free(out);
        return nullptr;
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    for (int shift = 16; shift >= 0 && pos < size; shift -= 8) {
      out[pos++] = static_cast<unsigned char>(group >> shift);
    }
  }
  out[size] = 0;
  *outLength = size;
  return out;
}

char* base64_encode(const char* data, unsigned long length, unsigned long* outLength) {
  if ((data == nullptr && length != 0) || outLength == nullptr) return nullptr;

  unsigned long size = (length + 2) / 3 * 4;
  char* out = static_cast<char*>(malloc(size + 1));
  if (out == nullptr) return nullptr;

  const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
  unsigned long pos = 0;
  for (unsigned long i = 0; i < length; i += 3) {
    unsigned long left = length - i;
    uint32_t group = static_cast<uint32_t>(in[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(in[i + 1]) << 8;
    if (left > 2) group |= in[i + 2];
    out[pos++] = kAlphabet[(group >> 18) & 0x3F];
    out[pos++] = kAlphabet[(group >> 12) & 0x3F];
    out[pos++] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out[pos++] = left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  out[size] = 0;
  *outLength = size;
  return out;
}
