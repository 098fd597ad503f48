// A BIRD firmware file loaded into memory: the header, the inflated payload
// and the blocks found in it, with the queries and in-memory edits the update
// and recovery flows need. The file on disk is only read, never changed.
//
// Every length and offset taken from the file is checked against the payload:
// a malformed file can end the block scan early or make a query answer
// "none", but nothing reads or writes outside the payload.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// One block of a BIRD file. A plain record; data points into the payload of
// the BirdFile it came from (not owned; valid while that object lives and is
// not moved from).
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;     // the three flag bits, 0-7
  uint32_t length = 0;   // bytes of data
  uint32_t address = 0;  // load address of loader and firmware blocks, else 0
  unsigned char* data = nullptr;
};

class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_START = 5,
  };

  static constexpr unsigned char BIRD_FILE_SIGNATURE[4] = {0x62, 0x69, 0x72, 0x64};  // "bird"
  static constexpr unsigned char BIRD_FILE_VERSION[2] = {0x01, 0x01};
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  // Size of the identification record of a BLOCK_INFO block.
  static constexpr uint32_t INFO_RECORD_SIZE = 64;
  // Largest file and largest inflated payload accepted, in bytes.
  static constexpr uint32_t MAX_FILE_SIZE = 512u * 1024 * 1024;
  static constexpr uint32_t MAX_PAYLOAD_SIZE = 512u * 1024 * 1024;

  // Empty object: empty path, no blocks, all numbers 0, no payload.
  BirdFile() = default;
  // Loads the file at path; throws std::runtime_error("Failed to load bird
  // data") when Load fails.
  explicit BirdFile(const char* path);
  // Loads a whole BIRD file held in memory (header included); path stays
  // empty. Throws like the path constructor.
  BirdFile(const unsigned char* bytes, size_t size);

  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // Reads, inflates and scans the file named by path. False when the file
  // is missing, unreadable, too short or cannot be inflated. A block-scan
  // mismatch is logged and does not fail the load (see ScanMatched).
  bool Load();
  // As Load, for the bytes of a whole file already in memory.
  bool LoadBytes(const unsigned char* bytes, size_t size);
  // Inflates a compressed payload into payload, allowing at most eight
  // times its compressed size (and at most MAX_PAYLOAD_SIZE).
  bool DecompressData(const unsigned char* data, unsigned long length);
  // Parses data into blocks. False on a size or count mismatch; the blocks
  // parsed up to that point are kept. data must outlive the blocks.
  bool ScanBlocks(const unsigned char* data, unsigned int size);

  // Copies of all blocks of that type, in file order.
  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  // Reads both offsets from the first BLOCK_SERIAL_OFFSETS block (which must
  // hold 8 bytes).
  bool FindSerialNumberOffsets();

  // Writes serial into the firmware images: little-endian at the
  // serial-number offset and as eight hexadecimal digits into the UTF-16LE
  // descriptor text. True when at least one of the two was written.
  bool ReplaceSerialNumber(unsigned int serial);
  // Sets the vector-table checksum word of firmware blocks loaded at address
  // 0 (blocks too short for a vector table are skipped). Returns true.
  bool ReplaceVectorChecksum();
  // Decodes every firmware image in place with the chip's four fingerprint
  // words. Apply at most once. False only for a null fingerprint.
  bool DecodeFirmwareBlocks(const unsigned int* fingerprint);
  // True when the count bytes of pattern occur in some firmware block's data
  // (load address word included). False for an empty pattern.
  bool ValidateData(unsigned char* pattern, unsigned int count);
  // True when the identification record's model name, trailing spaces
  // removed, begins with model. False without a record or for an empty name.
  bool ValidateModel(const char* model);

  // Identification record fields; 0 or "" when the file has no complete
  // record (a BLOCK_INFO block of at least 64 bytes; the first one counts).
  unsigned int GetSerialNumber() const;
  unsigned int GetBuild() const;
  std::string GetVersion() const;
  std::string GetModel() const;
  bool ValidateSerialNumber(unsigned int serial) const { return GetSerialNumber() == serial; }

  // Hex and text dump of all blocks of the type, on standard output or out.
  bool DumpBlocks(BLOCK_TYPE type) const;
  bool DumpBlocks(BLOCK_TYPE type, FILE* out) const;

  // Cheap header check of a file on disk: the signature and two non-zero
  // format-version bytes.
  static bool VerifyFile(const char* path);
  // Display name of a block type ("BLOCK_FIRMWARE", "TYPE_3", ...).
  static std::string BlockTypeName(uint8_t type);

  // False when the last block scan found a size or count mismatch.
  bool ScanMatched() const { return scanMatched_; }

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialBlock = false;
  uint32_t serialNumberOffset = 0;
  uint32_t descriptorOffset = 0;
  std::vector<unsigned char> payload;  // owned inflated payload
  uint32_t payloadSize = 0;            // valid bytes in payload

 private:
  const unsigned char* InfoRecord() const;
  void Reset();

  bool scanMatched_ = true;
};
