// Fuzzes frame decoding: arbitrary bytes arrive on a COBS-framed line. The
// framing stream must never read or write out of bounds, must deliver only
// packets whose length byte and CRC check out, and cobs_decode must invert
// cobs_encode.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "common/aStream.h"
#include "common/aStream_CobsEncoding.h"
#include "common/cobs.h"
#include "common/crc8.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t next;
};

aErr sGet(uint8_t* b, void* ref) {
  Input* in = static_cast<Input*>(ref);
  if (in->next >= in->size) return aErrNotReady;
  *b = in->data[in->next++];
  return aErrNone;
}

aErr sWrite(const uint8_t*, uint64_t, void*) { return aErrNone; }
aErr sPut(uint8_t, void*) { return aErrNone; }
aErr sDelete(void*) { return aErrNone; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 1. The bytes as a received line.
  Input in = {data, size, 0};
  aStreamRef stream = nullptr;
  if (aStream_CreateCobsEncoding(sGet, sPut, sWrite, sDelete, &in, &stream) != aErrNone)
    abort();
  std::vector<uint8_t> packet;
  for (size_t calls = 0; calls < 4 * size + 64; ++calls) {
    uint8_t b;
    const aErr err = stream->getProc(&b, stream->ref);
    if (err == aErrNone) {
      packet.push_back(b);
      // A delivered packet is address, length, payload: complete when the
      // length byte says so, and never longer than a frame allows.
      if (packet.size() >= 2 && packet.size() == static_cast<size_t>(packet[1]) + 2)
        packet.clear();
      if (packet.size() > 29) abort();
    } else if (err != aErrNotReady && err != aErrPacket) {
      abort();
    } else if (in.next >= in.size && err == aErrNotReady && packet.empty()) {
      break;
    }
  }
  aStream_Destroy(&stream);

  // 2. The bytes as one encoded block.
  std::vector<uint8_t> decoded(size + 1);
  const size_t n = cobs_decode(data, size, decoded.data());
  if (n > size) abort();

  // 3. Round trip of the bytes as data.
  std::vector<uint8_t> encoded(COBS_ENCODED_MAX(size));
  const size_t e = cobs_encode(data, size, encoded.data());
  if (e > encoded.size()) abort();
  for (size_t i = 0; i < e; ++i)
    if (encoded[i] == 0) abort();
  std::vector<uint8_t> back(e + 1);
  const size_t d = cobs_decode(encoded.data(), e, back.data());
  if (d != size) abort();
  for (size_t i = 0; i < size; ++i)
    if (back[i] != data[i]) abort();
  return 0;
}
