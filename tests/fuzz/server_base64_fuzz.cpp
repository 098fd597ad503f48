// base64_decode on arbitrary text must stay inside its input and output, and
// decoding what base64_encode made must give back the original bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "updater/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  unsigned long decodedLength = 0;
  unsigned char* decoded = base64_decode(text, size, &decodedLength);
  if (decoded != nullptr) {
    if (decodedLength > size / 4 * 3 || decoded[decodedLength] != 0) abort();
    free(decoded);
  }

  unsigned long encodedLength = 0;
  char* encoded = base64_encode(text, size, &encodedLength);
  if (encoded == nullptr || encodedLength != (size + 2) / 3 * 4 || strlen(encoded) != encodedLength) abort();
  unsigned long roundLength = 0;
  unsigned char* round = base64_decode(encoded, encodedLength, &roundLength);
  if (size == 0) {
    if (round != nullptr) abort();
  } else if (round == nullptr || roundLength != size || memcmp(round, data, size) != 0) {
    abort();
  }
  free(round);
  free(encoded);
  return 0;
}
