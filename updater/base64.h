// Base64 (RFC 4648, standard alphabet with "=" padding) for the BIRD file
// text that the update server sends.
#pragma once

// Decodes length characters of base64 text. Returns a new buffer holding
// *outLength bytes followed by one zero byte, or null when length is 0 or not
// a multiple of 4, or when the text holds a character outside the alphabet.
// "=" counts as 0 wherever it stands; one or two "=" at the end shorten the
// output by one or two bytes. The caller releases the result with free().
unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* outLength);

// Encodes length bytes. Returns a new zero-terminated text of
// 4 * ceil(length / 3) characters (*outLength, the zero not counted), or null
// when memory runs out. The caller releases the result with free().
char* base64_encode(const char* data, unsigned long length, unsigned long* outLength);
