// Packet records and byte-wise assembly.
#include "common/aPacket.h"

#include <stdlib.h>
#include <string.h>

aPacket* aPacket_Create(void) {
  aPacket* p = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
  if (p) p->check = aPACKET_CHECK;
  return p;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (!data || length > aPACKET_MAXDATA) return NULL;
  aPacket* p = aPacket_Create();
  if (!p) return NULL;
  p->address = address;
  p->dataSize = length;
  p->curSize = static_cast<uint8_t>(length + 2);
  memcpy(p->data, data, length);
  return p;
}

aPacket* aPacket_Copy(const aPacket* p) {
  if (!aVALIDPACKET(p) || p->dataSize > aPACKET_MAXDATA) return NULL;
  return aPacket_CreateWithData(p->address, p->dataSize, p->data);
}

aErr aPacket_Destroy(aPacket** pp) {
  if (!pp || !*pp) return aErrParam;
  (*pp)->check = 0;
  free(*pp);
  *pp = NULL;
  return aErrNone;
}

aErr aPacket_Reset(aPacket* p) {
  if (!aVALIDPACKET(p)) return aErrParam;
  p->curSize = 0;
  p->address = 0;
  p->dataSize = 0;
  memset(p->data, 0, sizeof(p->data));
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* p, uint8_t byte) {
  if (!aVALIDPACKET(p)) return aErrParam;
  const uint8_t before = p->curSize;
  if (p->curSize < 0xFF) p->curSize++;
  if (p->curSize > aPACKET_MAXWIRE) return aErrOverrun;

  if (p->address == 0) {
    if (byte == 0) return aErrPacket;
    p->address = byte;
    return aErrNone;
  }
  // A byte after a complete packet without payload is surplus; it must not
  // be taken for a second length byte.
  if (p->dataSize == 0 && before < 2) {
    p->dataSize = byte;
    return byte <= aPACKET_MAXDATA ? aErrNone : aErrPacket;
  }
  if (p->dataSize > aPACKET_MAXDATA || p->curSize > p->dataSize + 2) return aErrPacket;
  p->data[p->curSize - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* p) {
  return aVALIDPACKET(p) && p->address != 0 && p->curSize == p->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* p, uint8_t* out, size_t capacity, size_t* count) {
  if (!aVALIDPACKET(p) || !out || p->dataSize > aPACKET_MAXDATA) return aErrParam;
  const size_t n = static_cast<size_t>(p->dataSize) + 2;
  if (capacity < n) return aErrOverrun;
  out[0] = p->address;
  out[1] = p->dataSize;
  memcpy(out + 2, p->data, p->dataSize);
  if (count) *count = n;
  return aErrNone;
}

static aErr sPayloadByte(const aPacket* p, uint8_t* out, uint8_t need, uint8_t index,
                         uint8_t mask) {
  if (!out) return aErrParam;
  if (!aVALIDPACKET(p) || p->dataSize < need) return aErrPacket;
  *out = p->data[index] & mask;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* p, uint8_t* cmd) { return sPayloadByte(p, cmd, 1, 0, 0xFF); }
aErr aPacket_GetOption(const aPacket* p, uint8_t* option) {
  return sPayloadByte(p, option, 2, 1, 0x3F);
}
aErr aPacket_GetIndex(const aPacket* p, uint8_t* index) {
  return sPayloadByte(p, index, 3, 2, 0x1F);
}
