#include "tests/birdfile/BirdFixtures.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace birdtest {

Bytes BE32(uint32_t v) {
  return {(unsigned char)(v >> 24), (unsigned char)(v >> 16), (unsigned char)(v >> 8), (unsigned char)v};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes BlockClaiming(uint8_t typeByte, uint32_t declaredLength, const Bytes& data) {
  return Cat({{typeByte}, BE32(declaredLength), data});
}

Bytes Block(uint8_t typeByte, const Bytes& data) {
  return BlockClaiming(typeByte, (uint32_t)data.size(), data);
}

Bytes ImageBlock(uint8_t typeByte, uint32_t address, const Bytes& image) {
  return Block(typeByte, Cat({BE32(address), image}));
}

Bytes InfoRecord(const std::string& build, const std::string& version, const std::string& serial,
                 const std::string& model) {
  Bytes out;
  for (std::string field : {build, version, serial, model}) {
    field.resize(16, ' ');
    out.insert(out.end(), field.begin(), field.end());
  }
  return out;
}

Bytes Payload(uint32_t declaredCount, const Bytes& blocks, uint32_t checksum) {
  return Cat({BE32(declaredCount), blocks, BE32(checksum)});
}

Bytes File(const Bytes& payload, uint8_t v0, uint8_t v1) {
  uLongf size = compressBound(payload.size());
  Bytes compressed(size);
  if (compress2(compressed.data(), &size, payload.data(), payload.size(), 6) != Z_OK) {
    throw std::runtime_error("compress failed");
  }
  compressed.resize(size);
  return Cat({{'b', 'i', 'r', 'd', v0, v1}, compressed});
}

Bytes Filled(size_t count, unsigned char value) { return Bytes(count, value); }

Bytes Counting(size_t count, unsigned char start) {
  Bytes out(count);
  for (size_t i = 0; i < count; ++i) out[i] = (unsigned char)(start + i);
  return out;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "birdtest.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  std::string full = path_ + "/" + name;
  std::ofstream out(full, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
  if (!out) throw std::runtime_error("cannot write " + full);
  return full;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int Run(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

Bytes Inflate(const unsigned char* data, size_t size, size_t maxSize) {
  Bytes out(maxSize);
  uLongf outSize = maxSize;
  if (uncompress(out.data(), &outSize, data, size) != Z_OK) throw std::runtime_error("inflate failed");
  out.resize(outSize);
  return out;
}

}  // namespace birdtest
