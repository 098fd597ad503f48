// Fuzz target: arbitrary received bytes through packet assembly (as the link
// reader does it) and through the stream framework's record reads.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "common/aPacket.h"
#include "common/aStream.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

// Every 7th byte position answers "not ready" once, to exercise push-back.
aErr sGet(uint8_t* out, void* ref) {
  Input* in = static_cast<Input*>(ref);
  if (in->pos >= in->size) return aErrEOF;
  static size_t calls = 0;
  if (++calls % 7 == 0) return aErrNotReady;
  *out = in->data[in->pos++];
  return aErrNone;
}

void Assemble(const uint8_t* data, size_t size) {
  aPacket* p = aPacket_Create();
  for (size_t i = 0; i < size; i++) {
    if (aPacket_AddByte(p, data[i]) != aErrNone || (p->address & 1)) {
      aPacket_Reset(p);
      continue;
    }
    if (aPacket_IsComplete(p)) {
      uint8_t wire[aPACKET_MAXWIRE];
      size_t n = 0;
      if (aPacket_GetBytes(p, wire, sizeof(wire), &n) != aErrNone || n != p->dataSize + 2u ||
          p->dataSize > aPACKET_MAXDATA)
        __builtin_trap();
      aPacket* copy = aPacket_Copy(p);
      if (!copy || memcmp(copy->data, p->data, p->dataSize) != 0) __builtin_trap();
      aPacket_Destroy(&copy);
      aPacket_Reset(p);
    }
  }
  aPacket_Destroy(&p);
}

void ReadRecords(const uint8_t* data, size_t size) {
  Input in{data, size, 0};
  aStreamRef s = aStream_Create(sGet, nullptr, nullptr, nullptr, &in);
  char text[17];
  for (int guard = 0; guard < 4096; guard++) {
    aErr err = (guard & 1) ? aStream_ReadCString(s, text, sizeof(text))
                           : aStream_ReadCStringRecord(s, text, sizeof(text), "\r\n");
    if (err == aErrEOF) break;
    if (err == aErrNone && strlen(text) >= sizeof(text)) __builtin_trap();
  }
  aStream_Destroy(&s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Assemble(data, size);
  ReadRecords(data, size);
  return 0;
}
