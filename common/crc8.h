// CRC-8 of link packets on framed serial lines: reflected polynomial 0x31
// (0x8C reflected), initial value 0, no final XOR. The check value of the
// nine ASCII digits "123456789" is 0xA1.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The CRC after feeding one more byte to the CRC so far.
uint8_t crc8_update(uint8_t crc, uint8_t byte);

// The CRC of length bytes starting from 0; 0 for a null or empty buffer.
uint8_t crc8_create(const uint8_t* bytes, size_t length);

// True when the CRC of the bytes equals expected.
bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected);

#ifdef __cplusplus
}
#endif
