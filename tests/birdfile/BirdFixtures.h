// Hand-built BIRD file bytes for the reader's tests. These helpers spell out
// the layout independently of both the reader and birdtool.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace birdtest {

using Bytes = std::vector<unsigned char>;

Bytes BE32(uint32_t v);
Bytes Cat(std::initializer_list<Bytes> parts);
// One block: the type byte as given (type and flag bits), the big-endian
// length of data, then data.
Bytes Block(uint8_t typeByte, const Bytes& data);
// A block whose length field claims declaredLength, followed by data.
Bytes BlockClaiming(uint8_t typeByte, uint32_t declaredLength, const Bytes& data);
// A loader (0) or firmware (1) block: the load address, then the image.
Bytes ImageBlock(uint8_t typeByte, uint32_t address, const Bytes& image);
// The 64-byte identification record from four fields, each padded with
// spaces to 16 bytes (longer fields are cut).
Bytes InfoRecord(const std::string& build, const std::string& version, const std::string& serial,
                 const std::string& model);
// Declared count, the blocks, then the checksum word.
Bytes Payload(uint32_t declaredCount, const Bytes& blocks, uint32_t checksum = 0xC0FFEE00);
// "bird", the two version bytes, then the zlib-compressed payload.
Bytes File(const Bytes& payload, uint8_t v0 = 0x01, uint8_t v1 = 0x01);
// Bytes that repeat one value: compress far below an eighth of their size.
Bytes Filled(size_t count, unsigned char value);
// Bytes that count up from start (mod 256).
Bytes Counting(size_t count, unsigned char start = 0);

// A private temporary directory removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes bytes to name inside the directory; returns the full path.
  std::string Write(const std::string& name, const Bytes& bytes) const;

 private:
  std::string path_;
};

Bytes ReadFile(const std::string& path);
// Runs a shell command line; returns its exit status (-1 when it did not exit).
int Run(const std::string& command);
// Inflates a zlib stream known to hold at most maxSize bytes.
Bytes Inflate(const unsigned char* data, size_t size, size_t maxSize);

}  // namespace birdtest
