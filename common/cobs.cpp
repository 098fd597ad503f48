#include "common/cobs.h"

#include <string.h>

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
  if (!destination || (!source && length)) return 0;
  size_t out = 1;   // next data position
  size_t code = 0;  // position of the current block's code byte
  uint8_t run = 1;  // code value of the current block
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = source[i];
    if (byte == 0) {
      destination[code] = run;
      code = out++;
      run = 1;
      continue;
    }
    destination[out++] = byte;
    if (++run == 0xFF) {
      destination[code] = run;
      run = 1;
      // A full block at the very end needs no empty block after it.
      if (i + 1 == length) return out;
      code = out++;
    }
  }
  destination[code] = run;
  return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
  if (!buffer) return 0;
  // Move the input up by the worst-case growth; the encoder's write position
  // then never passes its read position, so one buffer serves both.
  const size_t shift = COBS_ENCODED_MAX(length) - length;
  memmove(buffer + shift, buffer, length);
  size_t out = 1;
  size_t code = 0;
  uint8_t run = 1;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = buffer[shift + i];
    if (byte == 0) {
      buffer[code] = run;
      code = out++;
      run = 1;
      continue;
    }
    buffer[out++] = byte;
    if (++run == 0xFF) {
      buffer[code] = run;
      run = 1;
      if (i + 1 == length) return out;
      code = out++;
    }
  }
  buffer[code] = run;
  return out;
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
  if ((!source || !destination) && length) return 0;
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    const uint8_t code = source[in++];
    if (code == 0) return 0;
    if (code - 1u > length - in) return 0;
    // memmove: destination may be the source itself, a little behind it.
    memmove(destination + out, source + in, code - 1u);
    in += code - 1u;
    out += code - 1u;
    if (code != 0xFF && in < length) destination[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
  return cobs_decode(buffer, length, buffer);
}
