// UEI payload convention: command, option, specifier, then a big-endian value
// or a chunk of a byte string. Stateless helpers and the value record of the
// device API.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "common/aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

// Option byte (payload byte 1): code in bits 0..5, the kind in bits 6 and 7.
#define ueiOPTION_MASK 0x3F
#define ueiOPTION_GET 0x40
#define ueiOPTION_SET 0x80
#define ueiOPTION_SETREPLY 0xC0
// Specifier byte (payload byte 2): index in bits 0..4.
#define ueiSPECIFIER_INDEX_MASK 0x1F
#define ueiSPECIFIER_REQUEST 0x20
#define ueiSPECIFIER_STREAM 0x40
#define ueiSPECIFIER_ERROR 0x80

// Byte strings: value bytes per packet, and the trailer bits.
#define ueiBYTES_CHUNK 24
#define ueiBYTES_CONTINUE 0x80
#define ueiBYTES_SEQUENCE_MASK 0x7F

// Value types of a uei record.
#define ueiTypeVoid 0
#define ueiTypeByte 1
#define ueiTypeShort 2
#define ueiTypeInt 4
#define ueiTypeBytes 5

// One UEI value. For bytes, value.bytes points at the caller's buffer; the
// record never owns memory.
typedef struct uei {
  uint8_t module;
  uint8_t command;
  uint8_t option;
  uint8_t specifier;
  union {
    uint8_t byteVal;
    uint16_t shortVal;
    uint32_t intVal;
    uint8_t* bytes;
  } value;
  uint8_t sequence;        // bytes reception: sequence expected next
  uint8_t continues;       // bytes reception: continue bit of the last packet
  size_t bytesSize;        // bytes to send, or capacity of the receive buffer
  size_t* bytesUnloaded;   // bytes reception: running count received
  int32_t type;            // ueiType*
} uei;

// Big-endian values.
void aUEI_StoreShort(uint8_t* buf, uint16_t v);
void aUEI_StoreInt(uint8_t* buf, uint32_t v);
uint16_t aUEI_RetrieveShort(const uint8_t* buf);
uint32_t aUEI_RetrieveInt(const uint8_t* buf);
// Converts n consecutive 32-bit words in place from big-endian to host order.
void aUEI_ModifyIntBuffer(uint8_t* buf, size_t n);

// Bytes chunks: the last payload byte carries continue (bit 7) and sequence.
uint8_t aUEI_getBytesSequence(const aPacket* p);  // 0 for NULL
uint8_t aUEI_getBytesContinue(const aPacket* p);  // 0 for NULL
bool aUEI_getBytesFullPacket(const aPacket* p);   // dataSize 27 or 28

// True when payload byte 0 is a link or system command that is not a UEI
// exchange (0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175); false for NULL.
bool aUEI_isNotUEIPayload(const aPacket* p);
// Negation of aUEI_isNotUEIPayload (true for NULL).
bool aUEI_isUEIPayload(const aPacket* p);
// A UEI stream sample: more than 4 payload bytes, a value reply (option bits 6
// and 7 clear) with the specifier's stream bit set.
bool aUEI_isStreamPacket(const aPacket* p);

#ifdef __cplusplus
}
#endif
