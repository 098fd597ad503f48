// birdtool: writes a BIRD firmware file from images and identification
// fields. See tools/README.md for the command line.
//
// This writer deliberately shares no code with the reader in updater/, so
// that a layout mistake made in one of them shows up in the tests of the
// other.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Block {
  unsigned type;
  unsigned flags;
  Bytes data;
};

struct Options {
  std::string output;
  unsigned long build = 1;
  std::string version = "1.0.0";
  uint32_t serial = 0;
  std::string model;
  bool info = true;
  std::vector<Block> blocks;
  std::optional<uint32_t> checksum;
  std::optional<uint32_t> declaredCount;
  uint16_t formatVersion = 0x0101;
  int level = 9;
  bool force = false;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void usage(FILE* out) {
  fputs(
      "usage: birdtool -o OUTPUT [options]\n"
      "  --build N  --version TEXT  --serial HEX  --model NAME  --no-info\n"
      "  --loader ADDR:FILE  --firmware ADDR:FILE  --generic SERIAL_OFF[:DESC_OFF]\n"
      "  --loader-start ADDR  --block TYPE:FILE  --flags N\n"
      "  --checksum HEX  --declare-count N  --format-version HEX  --level N  --force\n"
      "FILE is a path, random:N or random:N:SEED. See tools/README.md.\n",
      out);
}

uint32_t parseNumber(const std::string& text, int base, uint64_t max, const char* what) {
  if (text.empty()) throw UsageError(std::string("missing ") + what);
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) {
    throw UsageError(std::string("bad ") + what + ": " + text);
  }
  return static_cast<uint32_t>(v);
}

// Deterministic pseudo-random bytes (xorshift32): incompressible enough to
// stay well below the reader's inflation limit.
Bytes randomBytes(size_t count, uint32_t seed) {
  Bytes out(count);
  uint32_t x = seed ? seed : 0x9E3779B9u;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

Bytes readSource(const std::string& source) {
  if (source.rfind("random:", 0) == 0) {
    std::string rest = source.substr(7);
    uint32_t seed = 1;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
      seed = parseNumber(rest.substr(colon + 1), 0, UINT32_MAX, "random seed");
      rest.resize(colon);
    }
    return randomBytes(parseNumber(rest, 0, 256u * 1024 * 1024, "random size"), seed);
  }
  std::ifstream in(source, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open image file " + source);
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read image file " + source);
  return data;
}

void putBE32(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

// Splits "A:B" at the first colon; B may itself contain colons.
std::pair<std::string, std::string> splitOnce(const std::string& arg, const char* what) {
  size_t colon = arg.find(':');
  if (colon == std::string::npos) throw UsageError(std::string(what) + " needs the form X:Y: " + arg);
  return {arg.substr(0, colon), arg.substr(colon + 1)};
}

// A 16-byte text field padded with spaces.
void putField(Bytes& out, const std::string& text) {
  std::string field = text;
  field.resize(16, ' ');
  out.insert(out.end(), field.begin(), field.end());
}

Options parseArgs(int argc, char** argv) {
  Options o;
  std::optional<unsigned> pendingFlags;
  auto takeFlags = [&]() {
    unsigned f = pendingFlags.value_or(0);
    pendingFlags.reset();
    return f;
  };
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(opt + " needs a value");
      return argv[++i];
    };
    if (opt == "-h" || opt == "--help") {
      usage(stdout);
      exit(0);
    } else if (opt == "-o" || opt == "--output") {
      o.output = value();
    } else if (opt == "--build") {
      o.build = parseNumber(value(), 10, UINT32_MAX, "build number");
    } else if (opt == "--version") {
      o.version = value();
      if (o.version.size() > 15 || o.version.find(' ') != std::string::npos) {
        throw UsageError("version text must be at most 15 characters without spaces");
      }
    } else if (opt == "--serial") {
      std::string s = value();
      if (s.size() > 8) throw UsageError("serial number has at most 8 hexadecimal digits");
      o.serial = parseNumber(s, 16, UINT32_MAX, "serial number");
    } else if (opt == "--model") {
      o.model = value();
      if (o.model.size() > 16) throw UsageError("model name has at most 16 characters");
    } else if (opt == "--no-info") {
      o.info = false;
    } else if (opt == "--flags") {
      pendingFlags = parseNumber(value(), 0, 7, "flags");
    } else if (opt == "--loader" || opt == "--firmware") {
      auto [addr, file] = splitOnce(value(), opt.c_str());
      Block b{opt == "--loader" ? 0u : 1u, takeFlags(), {}};
      putBE32(b.data, parseNumber(addr, 0, UINT32_MAX, "load address"));
      Bytes image = readSource(file);
      b.data.insert(b.data.end(), image.begin(), image.end());
      o.blocks.push_back(std::move(b));
    } else if (opt == "--generic") {
      std::string arg = value();
      std::string serialOff = arg, descOff = "0";
      size_t colon = arg.find(':');
      if (colon != std::string::npos) {
        serialOff = arg.substr(0, colon);
        descOff = arg.substr(colon + 1);
      }
      Block b{2, 0, {}};
      putBE32(b.data, parseNumber(serialOff, 0, UINT32_MAX, "serial-number offset"));
      putBE32(b.data, parseNumber(descOff, 0, UINT32_MAX, "descriptor offset"));
      o.blocks.push_back(std::move(b));
    } else if (opt == "--loader-start") {
      Block b{5, 0, {}};
      putBE32(b.data, parseNumber(value(), 0, UINT32_MAX, "loader start address"));
      o.blocks.push_back(std::move(b));
    } else if (opt == "--block") {
      auto [type, file] = splitOnce(value(), "--block");
      Block b{parseNumber(type, 0, 31, "block type"), takeFlags(), readSource(file)};
      o.blocks.push_back(std::move(b));
    } else if (opt == "--checksum") {
      o.checksum = parseNumber(value(), 16, UINT32_MAX, "checksum");
    } else if (opt == "--declare-count") {
      o.declaredCount = parseNumber(value(), 0, UINT32_MAX, "block count");
    } else if (opt == "--format-version") {
      o.formatVersion = static_cast<uint16_t>(parseNumber(value(), 16, 0xFFFF, "format version"));
    } else if (opt == "--level") {
      o.level = static_cast<int>(parseNumber(value(), 10, 9, "compression level"));
    } else if (opt == "--force") {
      o.force = true;
    } else {
      throw UsageError("unknown option " + opt);
    }
  }
  if (o.output.empty()) throw UsageError("no output file given (-o)");
  if (pendingFlags) throw UsageError("--flags must come before the block it applies to");
  return o;
}

Bytes buildPayload(const Options& o) {
  std::vector<Block> blocks;
  if (o.info) {
    Block info{4, 0, {}};
    putField(info.data, std::to_string(o.build));
    putField(info.data, o.version);
    char serial[9];
    snprintf(serial, sizeof serial, "%08X", o.serial);
    putField(info.data, serial);
    putField(info.data, o.model);
    blocks.push_back(std::move(info));
  }
  blocks.insert(blocks.end(), o.blocks.begin(), o.blocks.end());

  Bytes payload;
  putBE32(payload, o.declaredCount.value_or(static_cast<uint32_t>(blocks.size())));
  for (const Block& b : blocks) {
    if (b.data.size() > UINT32_MAX) throw std::runtime_error("block too large");
    payload.push_back(static_cast<uint8_t>((b.flags << 5) | (b.type & 0x1F)));
    putBE32(payload, static_cast<uint32_t>(b.data.size()));
    payload.insert(payload.end(), b.data.begin(), b.data.end());
  }
  uint32_t sum = 0;
  for (uint8_t byte : payload) sum += byte;
  putBE32(payload, o.checksum.value_or(sum));
  return payload;
}

Bytes buildFile(const Options& o, const Bytes& payload) {
  uLongf compressedSize = compressBound(payload.size());
  Bytes file(6 + compressedSize);
  memcpy(file.data(), "bird", 4);
  file[4] = static_cast<uint8_t>(o.formatVersion >> 8);
  file[5] = static_cast<uint8_t>(o.formatVersion);
  int rc = compress2(file.data() + 6, &compressedSize, payload.data(), payload.size(), o.level);
  if (rc != Z_OK) throw std::runtime_error("compression failed (zlib error " + std::to_string(rc) + ")");
  file.resize(6 + compressedSize);
  if (payload.size() > 8ull * compressedSize) {
    std::string msg = "the payload (" + std::to_string(payload.size()) +
                      " bytes) inflates to more than eight times its compressed size (" +
                      std::to_string(compressedSize) + " bytes); the updater refuses such files";
    if (!o.force) throw std::runtime_error(msg + ". Use less regular images, or --force.");
    fprintf(stderr, "birdtool: warning: %s\n", msg.c_str());
  }
  return file;
}

void writeAtomically(const std::string& path, const Bytes& data) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + temp + ": " + strerror(errno));
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  ok = (fclose(f) == 0) && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    remove(temp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + strerror(err));
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options o = parseArgs(argc, argv);
    writeAtomically(o.output, buildFile(o, buildPayload(o)));
    return 0;
  } catch (const UsageError& e) {
    fprintf(stderr, "birdtool: %s\n", e.what());
    usage(stderr);
  } catch (const std::exception& e) {
    fprintf(stderr, "birdtool: %s\n", e.what());
  }
  return 1;
}
