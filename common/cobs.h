// Consistent Overhead Byte Stuffing with 0 as the delimiter. Code bytes run
// from 1 to 255; 255 marks 254 non-zero bytes with no zero after them. The
// delimiter itself is not written by these functions.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Worst-case encoded length of length bytes.
#define COBS_ENCODED_MAX(length) ((length) + 1 + (length) / 254)

// Encodes length bytes of source into destination, which must hold
// COBS_ENCODED_MAX(length) bytes (the buffers must not overlap). Returns the
// encoded length; 0 when destination is null, or source is null with a
// length.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

// Encodes the first length bytes of buffer in place; the buffer must hold
// COBS_ENCODED_MAX(length) bytes. Returns the encoded length; 0 for a null
// buffer.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

// Decodes length encoded bytes of source into destination, which must hold
// length bytes (destination may equal source). Returns the decoded length, or
// 0 for malformed input (a zero code byte, or a code that runs past the end).
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

// cobs_decode onto the same buffer.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

#ifdef __cplusplus
}
#endif
