// Serial line streams: a raw 8-bit line at one of eight fixed speeds, read
// without waiting. The port's previous settings come back when the stream is
// destroyed; bytes waiting in the port at opening are discarded.
#pragma once

#include <stdint.h>

#include "common/aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// Speed codes (baudIndex): 0 2400, 1 4800, 2 9600, 3 19200, 4 38400,
// 5 57600, 6 115200, 7 230400 bits per second; any other code sets speed 0
// (hang up).
#define aSERIAL_BAUD_2400 0
#define aSERIAL_BAUD_4800 1
#define aSERIAL_BAUD_9600 2
#define aSERIAL_BAUD_19200 3
#define aSERIAL_BAUD_38400 4
#define aSERIAL_BAUD_57600 5
#define aSERIAL_BAUD_115200 6
#define aSERIAL_BAUD_230400 7

// Longest port path, in characters.
#define aSERIAL_MAXPATH 4095

// Opens the serial port at portPath as a plain byte stream: parity nonzero
// enables even parity; dataBits 0 = eight, 1 = seven data bits; stopBits
// 0 = one, 1 = two stop bits. On success *pStream holds a new stream that the
// caller destroys with aStream_Destroy. get answers aErrNotReady at once when
// nothing is waiting; write returns once the bytes have left the port.
// Errors: aErrNotFound (no such port), aErrPermission, aErrIO (the port
// cannot be opened or configured), aErrResource (bad arguments, memory).
aErr aStream_CreateSerial(const char* portPath, uint32_t baudIndex, uint8_t parity,
                          uint8_t dataBits, uint8_t stopBits, aStreamRef* pStream);

// The same port wrapped in the COBS packet framing used by links over serial
// lines (see aStream_CobsEncoding.h). Same arguments and errors.
aErr aStream_CreateSerial_Packetized(const char* portPath, uint32_t baudIndex,
                                     uint8_t parity, uint8_t dataBits,
                                     uint8_t stopBits, aStreamRef* pStream);

#ifdef __cplusplus
}
#endif
