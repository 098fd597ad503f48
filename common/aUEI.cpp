// UEI value helpers: big-endian values and bytes-chunk trailers.
#include "common/aUEI.h"

void aUEI_StoreShort(uint8_t* buf, uint16_t v) {
  buf[0] = static_cast<uint8_t>(v >> 8);
  buf[1] = static_cast<uint8_t>(v);
}

void aUEI_StoreInt(uint8_t* buf, uint32_t v) {
  buf[0] = static_cast<uint8_t>(v >> 24);
  buf[1] = static_cast<uint8_t>(v >> 16);
  buf[2] = static_cast<uint8_t>(v >> 8);
  buf[3] = static_cast<uint8_t>(v);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buf) {
  return static_cast<uint16_t>((buf[0] << 8) | buf[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buf) {
  return (static_cast<uint32_t>(buf[0]) << 24) | (static_cast<uint32_t>(buf[1]) << 16) |
         (static_cast<uint32_t>(buf[2]) << 8) | buf[3];
}

void aUEI_ModifyIntBuffer(uint8_t* buf, size_t n) {
  for (size_t i = 0; i < n; i++) {
    uint8_t* w = buf + 4 * i;
    const uint32_t v = aUEI_RetrieveInt(w);
    // Store in host order through a byte copy (buf need not be aligned).
    const uint8_t* h = reinterpret_cast<const uint8_t*>(&v);
    for (int b = 0; b < 4; b++) w[b] = h[b];
  }
}

static bool sHasPayload(const aPacket* p) {
  return p && p->dataSize > 0 && p->dataSize <= aPACKET_MAXDATA;
}

uint8_t aUEI_getBytesSequence(const aPacket* p) {
  return sHasPayload(p) ? (p->data[p->dataSize - 1] & ueiBYTES_SEQUENCE_MASK) : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* p) {
  return sHasPayload(p) ? ((p->data[p->dataSize - 1] & ueiBYTES_CONTINUE) ? 1 : 0) : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* p) {
  return p && (p->dataSize == 27 || p->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* p) {
  if (!p) return false;
  switch (p->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* p) { return !aUEI_isNotUEIPayload(p); }

bool aUEI_isStreamPacket(const aPacket* p) {
  return p && p->dataSize > 4 && aUEI_isUEIPayload(p) &&
         (p->data[1] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 &&
         (p->data[2] & ueiSPECIFIER_STREAM) != 0;
}
