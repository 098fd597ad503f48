// Module packets: an address byte and 0 to 28 payload bytes, plus the state
// of byte-wise assembly used by the link reader.
//
// On a byte stream a packet is its address, its length and its payload, back
// to back, with no marker and no checksum. A packet belongs to whoever holds
// the pointer; every function that returns a new packet hands it to the
// caller, who destroys it with aPacket_Destroy.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aPACKET_MAXDATA 28                       // payload bytes per packet
#define aPACKET_MAXWIRE (aPACKET_MAXDATA + 2)    // wire bytes per packet
#define aPACKET_CHECK 0xBEEF

// Command codes (payload byte 0).
#define cmdHEARTBEAT 0
#define cmdSLOT 4
#define cmdI2C 8
#define cmdDEBUG 23
#define cmdINFO 73
#define cmdFACTORY 94
#define cmdUPGRADE 95
// Link-level requests, sent to these odd addresses.
#define cmdMAGIC 0xAD       // no payload: byte-sync request / address query
#define cmdFORCEROUTE 0xAF  // one payload byte: 1 route traffic here, 0 stop

typedef struct aPacket {
  uint16_t check;    // aPACKET_CHECK while live
  uint8_t curSize;   // wire bytes assembled so far (address and length included)
  uint8_t address;   // destination when sent, sender when received
  uint8_t dataSize;  // payload length 0..28
  uint8_t data[aPACKET_MAXDATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != NULL && (p)->check == aPACKET_CHECK)

// New empty packet (all zero but the check word); NULL when out of memory.
aPacket* aPacket_Create(void);

// New complete packet with address, length and the first length bytes of
// data. NULL when data is NULL, length > 28, or out of memory.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// New complete copy of p's address and payload; NULL when p is not valid.
aPacket* aPacket_Copy(const aPacket* p);

// Frees *pp and sets it to NULL. aErrParam when pp or *pp is NULL.
aErr aPacket_Destroy(aPacket** pp);

// Empties p for a new assembly. aErrParam unless valid.
aErr aPacket_Reset(aPacket* p);

// Appends one received wire byte. aErrParam (invalid), aErrOverrun (a 31st
// byte), aErrPacket (address 0, length above 28, or a byte past the end).
// After an error the caller resets the packet.
aErr aPacket_AddByte(aPacket* p, uint8_t byte);

// True when valid and all announced bytes have arrived.
bool aPacket_IsComplete(const aPacket* p);

// Writes address, length and payload to out and stores dataSize + 2 in *count
// (when count is given). aErrParam (invalid p, NULL out), aErrOverrun when
// capacity < dataSize + 2.
aErr aPacket_GetBytes(const aPacket* p, uint8_t* out, size_t capacity, size_t* count);

// Payload byte 0. aErrParam for a NULL out pointer, aErrPacket when p is not
// valid or has no payload.
aErr aPacket_GetCmd(const aPacket* p, uint8_t* cmd);
// Payload byte 1 AND 0x3F; aErrPacket when dataSize < 2.
aErr aPacket_GetOption(const aPacket* p, uint8_t* option);
// Payload byte 2 AND 0x1F; aErrPacket when dataSize < 3.
aErr aPacket_GetIndex(const aPacket* p, uint8_t* index);

#ifdef __cplusplus
}
#endif
