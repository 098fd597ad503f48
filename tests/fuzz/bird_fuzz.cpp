// Fuzz target: a BIRD file from arbitrary bytes. Each input is used three
// times: as a whole file (header, inflation, scan), and, since mutated
// compressed streams rarely inflate, as a payload, once handed straight to
// the block scan and once compressed into a well-formed file. Every query
// and edit then runs over whatever blocks were found.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "app/Log.h"
#include "updater/BirdFile.h"

namespace {

FILE* sink = nullptr;

void Exercise(BirdFile& bird, const uint8_t* data, size_t size) {
  bird.GetBuild();
  bird.GetVersion();
  bird.GetModel();
  bird.GetSerialNumber();
  bird.ValidateModel("Hub8");
  bird.FindSerialNumberOffsets();
  bird.ReplaceSerialNumber(0x1A2B3C4D);
  bird.ReplaceVectorChecksum();
  const unsigned int fingerprint[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  bird.DecodeFirmwareBlocks(fingerprint);
  std::vector<unsigned char> pattern(data, data + (size < 3 ? size : 3));
  bird.ValidateData(pattern.data(), static_cast<unsigned>(pattern.size()));
  for (int type = 0; type < 32; ++type) {
    bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
  }
  bird.DumpBlocks(BirdFile::BLOCK_INFO, sink);
  bird.DumpBlocks(BirdFile::BLOCK_SERIAL_OFFSETS, sink);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sink = fopen("/dev/null", "w");
  // Run the diagnostic formatting too, into the void.
  Log::SetOutput(sink);
  Log::ActivatePackage(DEBUG_BirdFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BirdFile file;
  if (file.LoadBytes(data, size)) Exercise(file, data, size);

  std::vector<unsigned char> payload(data, data + size);
  BirdFile scanned;
  scanned.ScanBlocks(payload.data(), static_cast<unsigned>(payload.size()));
  scanned.hasSerialBlock = !scanned.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty();
  Exercise(scanned, data, size);

  uLongf compressedSize = compressBound(size);
  std::vector<unsigned char> wrappedFile(6 + compressedSize);
  const unsigned char header[6] = {'b', 'i', 'r', 'd', 1, 1};
  std::copy(header, header + 6, wrappedFile.begin());
  if (compress2(wrappedFile.data() + 6, &compressedSize, data, size, 1) == Z_OK) {
    wrappedFile.resize(6 + compressedSize);
    BirdFile wrapped;
    if (wrapped.LoadBytes(wrappedFile.data(), wrappedFile.size())) Exercise(wrapped, data, size);
  }
  return 0;
}
