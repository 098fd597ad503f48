// BirdFile queries and in-memory edits: block lookup, the identification
// record, serial-number insertion, vector checksum, fingerprint decoding,
// pattern search and the block dump. Every access stays inside the data of
// the block it belongs to.

#include <ctype.h>
#include <string.h>

#include "app/Log.h"
#include "updater/BirdFile.h"
#include "updater/BirdFileBytes.h"

namespace {

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Image bytes of a loader or firmware block: the data after the load address.
uint32_t imageLength(const BirdBlock& b) { return b.length >= 4 ? b.length - 4 : 0; }

}  // namespace

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& b : blocks) {
    if (b.type == type) found.push_back(b);
  }
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_SERIAL_OFFSETS) continue;
    if (b.length == 0 || !b.data) return false;
    if (b.length < 8) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Serial offsets block holds %u bytes, needs 8\n", b.length);
      return false;
    }
    serialNumberOffset = bird_bytes::GetInt(b.data);
    descriptorOffset = bird_bytes::GetInt(b.data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             (int)serialNumberOffset, (int)descriptorOffset);
    return true;
  }
  return false;
}

const unsigned char* BirdFile::InfoRecord() const {
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_INFO) continue;
    if (b.length < INFO_RECORD_SIZE || !b.data) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Identification record holds %u bytes, needs %u\n", b.length,
               INFO_RECORD_SIZE);
      return nullptr;
    }
    return b.data;
  }
  return nullptr;
}

unsigned int BirdFile::GetBuild() const {
  const unsigned char* rec = InfoRecord();
  if (!rec) return 0;
  size_t i = 0;
  while (i < 15 && isSpace(rec[i])) ++i;
  uint64_t value = 0;
  for (; i < 15 && isDigit(rec[i]); ++i) {
    value = value * 10 + (rec[i] - '0');
    if (value > UINT32_MAX) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Build number [%.15s] out of range\n", (const char*)rec);
      return 0;
    }
  }
  return static_cast<unsigned int>(value);
}

std::string BirdFile::GetVersion() const {
  const unsigned char* rec = InfoRecord();
  if (!rec) return "";
  std::string text;
  for (size_t i = 16; i < 16 + 15 && rec[i] != ' ' && rec[i] != '\0'; ++i) text += (char)rec[i];
  return text;
}

unsigned int BirdFile::GetSerialNumber() const {
  const unsigned char* rec = InfoRecord();
  if (!rec) return 0;
  const unsigned char* field = rec + 32;
  size_t i = 0;
  while (i < 8 && isSpace(field[i])) ++i;
  if (i + 2 < 8 && field[i] == '0' && (field[i + 1] == 'x' || field[i + 1] == 'X') &&
      hexValue(field[i + 2]) >= 0) {
    i += 2;
  }
  uint32_t value = 0;
  for (; i < 8 && hexValue(field[i]) >= 0; ++i) value = value << 4 | (uint32_t)hexValue(field[i]);
  return value;
}

std::string BirdFile::GetModel() const {
  const unsigned char* rec = InfoRecord();
  if (!rec) return "";
  std::string text;
  for (size_t i = 48; i < 64 && rec[i] != '\0'; ++i) text += (char)rec[i];
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool BirdFile::ValidateModel(const char* model) {
  // An empty name would match every file and defeat the check.
  if (!model || !*model || !InfoRecord()) return false;
  std::string field = GetModel();
  if (strncmp(field.c_str(), model, strlen(model)) != 0) {
    Log::log(DEBUG_BirdFile, "Model does not match model number ([%s] != [%s])\n", field.c_str(), model);
    return false;
  }
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
  return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial) {
  char digits[9];
  snprintf(digits, sizeof digits, "%08X", serial);
  bool serialWritten = false;
  bool descriptorWritten = false;
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || b.length < 4) continue;
    // 64-bit bounds: neither the end of the image nor offset + size wraps.
    const int64_t start = b.address;
    const int64_t end = start + (int64_t)b.length - 4;
    unsigned char* image = b.data + 4;
    const int64_t serialAt = serialNumberOffset;
    if (serialNumberOffset != 0 && start <= serialAt && serialAt + 4 <= end) {
      unsigned char* word = image + (serialAt - start);
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
               bird_bytes::GetLE32(word), serial);
      bird_bytes::PutLE32(word, serial);
      serialWritten = true;
    }
    const int64_t descriptorAt = descriptorOffset;
    if (descriptorOffset != 0 && start <= descriptorAt && descriptorAt + 16 <= end) {
      unsigned char* text = image + (descriptorAt - start);
      for (int i = 0; i < 8; ++i) text[2 * i] = (unsigned char)digits[i];
      descriptorWritten = true;
    }
  }
  if (serialNumberOffset != 0 && !serialWritten) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: serial number offset %08X lies in no firmware image\n",
             serialNumberOffset);
  }
  if (descriptorOffset != 0 && !descriptorWritten) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: descriptor offset %08X lies in no firmware image\n",
             descriptorOffset);
  }
  return serialWritten || descriptorWritten;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || b.length < 4) continue;
    if (b.data[0] || b.data[1] || b.data[2] || b.data[3]) continue;
    if (b.length < 4 + 32) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: firmware block at 0 holds %u bytes, too short for a vector table\n",
               b.length);
      continue;
    }
    unsigned char* image = b.data + 4;
    uint32_t w[8];
    for (int i = 0; i < 8; ++i) w[i] = bird_bytes::GetLE32(image + 4 * i);
    uint32_t sum = w[0] + w[1] + w[2] + w[3] + w[4] + w[6];
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", w[7], value);
    bird_bytes::PutLE32(image + 28, value);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* fingerprint) {
  if (!fingerprint) return false;
  unsigned char key[16];
  for (int i = 0; i < 4; ++i) {
    key[4 * i] = (unsigned char)(fingerprint[i] >> 24);
    key[4 * i + 1] = (unsigned char)(fingerprint[i] >> 16);
    key[4 * i + 2] = (unsigned char)(fingerprint[i] >> 8);
    key[4 * i + 3] = (unsigned char)fingerprint[i];
  }
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_FIRMWARE) continue;
    const uint32_t n = imageLength(b);
    unsigned char* image = n ? b.data + 4 : nullptr;
    unsigned char previous = 0;
    for (uint32_t i = 0; i < n; ++i) {
      unsigned char decoded = image[i] ^ key[i % 16] ^ previous;
      image[i] = decoded;
      previous = decoded;
    }
  }
  return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned int count) {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern && count > 0) {
    for (const BirdBlock& b : blocks) {
      if (b.type != BLOCK_FIRMWARE || b.length < count) continue;
      for (uint32_t at = 0; at <= b.length - count; ++at) {
        if (memcmp(b.data + at, pattern, count) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", (int)at);
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const { return DumpBlocks(type, stdout); }

bool BirdFile::DumpBlocks(BLOCK_TYPE type, FILE* out) const {
  fprintf(out, "BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  std::string text;
  for (const BirdBlock& b : blocks) {
    if (b.type != type) continue;
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        fprintf(out, " %s\r\n%06d: ", text.c_str(), (int)i);
        text.clear();
      }
      unsigned char c = b.data[i];
      fprintf(out, "%02X ", c);
      text += isprint(c) ? (char)c : ' ';
    }
    fprintf(out, " %s\n", text.c_str());
    text.clear();
  }
  fprintf(out, "\n");
  return true;
}

std::string BirdFile::BlockTypeName(uint8_t type) {
  switch (type) {
    case BLOCK_LOADER: return "BLOCK_LOADER";
    case BLOCK_FIRMWARE: return "BLOCK_FIRMWARE";
    case BLOCK_SERIAL_OFFSETS: return "BLOCK_SERIAL_OFFSETS";
    case BLOCK_INFO: return "BLOCK_INFO";
    case BLOCK_LOADER_START: return "BLOCK_LOADER_START";
    default: return "TYPE_" + std::to_string(type);
  }
}
