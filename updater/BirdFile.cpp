// Loading a BIRD file: header, inflation, block scan, and the moves of the
// object that owns the payload. Image edits and queries are in
// BirdFileImage.cpp.

#include "updater/BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "app/Log.h"
#include "common/aFile.h"
#include "updater/BirdFileBytes.h"

namespace {

// Closes an aFile handle when it goes out of scope.
struct FileCloser {
  aFileHandle handle;
  ~FileCloser() {
    if (handle) aFile_Close(&handle);
  }
};

}  // namespace

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(const unsigned char* bytes, size_t size) {
  if (!LoadBytes(bytes, size)) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept
    : path(std::move(other.path)),
      signature(other.signature),
      version(other.version),
      checksum(other.checksum),
      blockCount(other.blockCount),
      blocks(std::move(other.blocks)),
      hasSerialBlock(other.hasSerialBlock),
      serialNumberOffset(other.serialNumberOffset),
      descriptorOffset(other.descriptorOffset),
      payload(std::move(other.payload)),
      payloadSize(other.payloadSize),
      scanMatched_(other.scanMatched_) {
  other.path.clear();
  other.Reset();
}

// The payload vector's buffer moves with it, so the block pointers stay valid
// in the new owner.
BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this != &other) {
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);
    hasSerialBlock = other.hasSerialBlock;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    payload = std::move(other.payload);
    payloadSize = other.payloadSize;
    scanMatched_ = other.scanMatched_;
    other.path.clear();
    other.Reset();
  }
  return *this;
}

void BirdFile::Reset() {
  signature = 0;
  version = 0;
  checksum = 0;
  blockCount = 0;
  blocks.clear();
  hasSerialBlock = false;
  serialNumberOffset = 0;
  descriptorOffset = 0;
  payload.clear();
  payloadSize = 0;
  scanMatched_ = true;
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  Reset();
  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return false;
  }
  FileCloser file{aFile_Open(path.c_str(), aFileModeReadOnly)};
  if (!file.handle) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  size_t size = 0;
  aErr e = aFile_GetSize(file.handle, &size);
  if (e != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", (int)e,
             path.c_str());
    return false;
  }
  if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large for a bird file (%zu bytes)\n",
             path.c_str(), size);
    return false;
  }

  std::vector<unsigned char> buffer;
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc&) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for %zu bytes of %s\n", size, path.c_str());
    return false;
  }
  size_t got = 0;
  e = aErrNone;
  while (got < size) {
    size_t n = 0;
    e = aFile_Read(file.handle, buffer.data() + got, size - got, &n);
    if (e != aErrNone || n == 0) break;
    got += n;
  }

  bool result = false;
  if (e != aErrNone && e != aErrEOF) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", (int)e, path.c_str());
  } else if (got < size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
             path.c_str(), got, size);
  } else {
    result = LoadBytes(buffer.data(), size);
  }
  return result;
}

bool BirdFile::LoadBytes(const unsigned char* bytes, size_t size) {
  Reset();
  bool result = false;
  if (!bytes || size <= 6) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %zu bytes hold no bird payload\n", bytes ? size : 0);
  } else if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird data too large (%zu bytes)\n", size);
  } else {
    signature = bird_bytes::GetInt(bytes);
    version = bird_bytes::GetShort(bytes + 4);
    if (DecompressData(bytes + 6, size - 6)) {
      bool scanned = ScanBlocks(payload.data(), payloadSize);
      Log::log(DEBUG_BirdFile, "BIRDFILE: Block scan %s\n", scanned ? "complete" : "found a mismatch");
      FindSerialNumberOffsets();
      result = true;
    }
  }
  if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
    hasSerialBlock = true;
    FindSerialNumberOffsets();
  }
  return result;
}

bool BirdFile::DecompressData(const unsigned char* data, unsigned long length) {
  payload.clear();
  payloadSize = 0;
  if (!data || length == 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_DATA_ERROR);
    return false;
  }
  // Room for eight times the compressed size, bounded so that a small hostile
  // file cannot ask for an unbounded buffer.
  unsigned long long capacity = 8ull * length;
  if (capacity > MAX_PAYLOAD_SIZE) capacity = MAX_PAYLOAD_SIZE;
  try {
    payload.assign(static_cast<size_t>(capacity), 0);
  } catch (const std::bad_alloc&) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    payload.clear();
    return false;
  }
  uLongf outLength = static_cast<uLongf>(capacity);
  int r = uncompress(payload.data(), &outLength, data, length);
  if (r != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", r);
    payload.clear();
    return false;
  }
  payloadSize = static_cast<uint32_t>(outLength);
  return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned int size) {
  blockCount = 0;
  blocks.clear();
  checksum = 0;
  if (!data) size = 0;

  // Counts are kept unsigned for the walk and printed as signed differences,
  // so a shortfall shows as a negative number of remaining bytes.
  uint32_t remaining = size;
  const unsigned char* pos = data;
  if (remaining < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             (int)remaining - 8);
    scanMatched_ = false;
    return false;
  }
  uint32_t declared = bird_bytes::GetInt(pos);
  pos += 4;
  remaining -= 4;
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", (int)declared);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  bool overrun = false;
  long long shortfall = 0;
  while (remaining > 4) {
    BirdBlock block;
    block.type = pos[0] & BIRD_FILE_TYPE_MASK;
    block.flags = (pos[0] & BIRD_FILE_FLAG_MASK) >> 5;
    block.length = bird_bytes::GetInt(pos + 1);
    pos += 5;
    remaining -= 5;
    if (block.length > remaining) {
      // The block runs past the end of the payload: it is dropped and the
      // scan ends here.
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Block %d of type %02X claims %u bytes, only %u remain; scan stopped\n",
               (int)blockCount + 1, block.type, block.length, remaining);
      overrun = true;
      shortfall = (long long)remaining - block.length - 4;
      break;
    }
    block.data = const_cast<unsigned char*>(pos);
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4) {
      block.address = bird_bytes::GetInt(pos);
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             (int)block.length);
    if (block.type == BLOCK_INFO) {
      for (uint32_t field = 0; field < 4; ++field) {
        uint32_t start = field * 16;
        int n = block.length > start ? (int)std::min<uint32_t>(16, block.length - start) : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.*s]\n", n,
                 n ? reinterpret_cast<const char*>(pos + start) : "");
      }
    }
    pos += block.length;
    remaining -= block.length;
    blockCount += 1;
    blocks.push_back(block);
  }

  bool result = true;
  if (overrun) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%lld bytes remaining)\n",
             shortfall);
    result = false;
  } else if (remaining < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             (int)remaining - 4);
    result = false;
  } else {
    checksum = bird_bytes::GetInt(pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  }
  if (blockCount != declared) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             (int)blockCount, (int)declared);
    result = false;
  }
  scanMatched_ = result;
  return result;
}

bool BirdFile::VerifyFile(const char* filePath) {
  FileCloser file{aFile_Open(filePath, aFileModeReadOnly)};
  if (!file.handle) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
             filePath ? filePath : "(null)");
    return false;
  }
  unsigned char header[6];
  size_t got = 0;
  while (got < sizeof header) {
    size_t n = 0;
    if (aFile_Read(file.handle, header + got, sizeof header - got, &n) != aErrNone || n == 0) break;
    got += n;
  }
  return got == sizeof header && header[0] == BIRD_FILE_SIGNATURE[0] &&
         header[1] == BIRD_FILE_SIGNATURE[1] && header[2] == BIRD_FILE_SIGNATURE[2] &&
         header[3] == BIRD_FILE_SIGNATURE[3] && header[4] != 0 && header[5] != 0;
}
