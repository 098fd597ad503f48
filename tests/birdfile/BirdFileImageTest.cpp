// In-memory edits and queries of firmware images: serial-number insertion,
// vector checksum, fingerprint decoding, pattern search and the block dump.

#include <gtest/gtest.h>
#include <stdio.h>

#include "tests/birdfile/BirdFixtures.h"
#include "updater/BirdFile.h"

using namespace birdtest;

namespace {

BirdFile LoadBytes(const Bytes& file) { return BirdFile(file.data(), file.size()); }

Bytes ImageOf(const BirdBlock& b) { return Bytes(b.data + 4, b.data + b.length); }

uint32_t LE32At(const Bytes& image, size_t at) {
  return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | (uint32_t)image[at + 3] << 24;
}

Bytes OffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset) {
  return Block(0x02, Cat({BE32(serialOffset), BE32(descriptorOffset)}));
}

// A generic image: firmware blocks at the given addresses, 64 bytes of 0xEE
// each, then the offsets block.
BirdFile Generic(std::initializer_list<uint32_t> addresses, uint32_t serialOffset, uint32_t descriptorOffset) {
  Bytes blocks;
  for (uint32_t a : addresses) blocks = Cat({blocks, ImageBlock(0x01, a, Filled(64, 0xEE))});
  blocks = Cat({blocks, OffsetsBlock(serialOffset, descriptorOffset)});
  return LoadBytes(File(Payload((uint32_t)addresses.size() + 1, blocks)));
}

}  // namespace

TEST(BirdFileImage, ReplaceSerialNumberWritesWordAndDescriptorText) {
  BirdFile bird = Generic({0x1000}, 0x1010, 0x1020);
  ASSERT_TRUE(bird.hasSerialBlock);
  EXPECT_TRUE(bird.ReplaceSerialNumber(0x1A2B3C4D));
  Bytes image = ImageOf(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]);
  Bytes expected = Filled(64, 0xEE);
  const Bytes word = {0x4D, 0x3C, 0x2B, 0x1A};
  std::copy(word.begin(), word.end(), expected.begin() + 0x10);
  const char* digits = "1A2B3C4D";
  for (int i = 0; i < 8; ++i) expected[0x20 + 2 * i] = (unsigned char)digits[i];
  EXPECT_EQ(image, expected);
  EXPECT_EQ(bird.blocks[0].address, 0x1000u);  // load address word untouched
}

TEST(BirdFileImage, ReplaceSerialNumberChangesOnlyTheBlockHoldingTheOffset) {
  BirdFile bird = Generic({0x0, 0x100}, 0x104, 0);
  EXPECT_TRUE(bird.ReplaceSerialNumber(0xCAFEF00D));
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(fw.size(), 2u);
  EXPECT_EQ(ImageOf(fw[0]), Filled(64, 0xEE));
  Bytes second = ImageOf(fw[1]);
  EXPECT_EQ(LE32At(second, 4), 0xCAFEF00Du);
  second[4] = second[5] = second[6] = second[7] = 0xEE;
  EXPECT_EQ(second, Filled(64, 0xEE));
}

// Where the offsets lie relative to one 64-byte image at 0x1000 (image bytes
// 0x1000..0x103F).
TEST(BirdFileImage, ReplaceSerialNumberBounds) {
  const struct {
    const char* name;
    uint32_t serialOffset;
    uint32_t descriptorOffset;
    bool result;
    int serialAt;      // image offset of the written word, -1 for none
    int descriptorAt;  // image offset of the written text, -1 for none
  } cases[] = {
      {"first word", 0x1000, 0, true, 0, -1},
      {"last whole word", 0x103C, 0, true, 0x3C, -1},
      {"word crosses the end", 0x103D, 0, false, -1, -1},
      {"word before the image", 0x0FFE, 0, false, -1, -1},
      {"far beyond", 0xFFFFFFFE, 0, false, -1, -1},
      {"last whole text", 0, 0x1030, true, -1, 0x30},
      {"text crosses the end", 0, 0x1031, false, -1, -1},
      {"text beyond, word inside", 0x1000, 0xFFFFFFF8, true, 0, -1},
      {"word beyond, text inside", 0xFFFFFFFC, 0x1000, true, -1, 0},
      {"no offsets", 0, 0, false, -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BirdFile bird = Generic({0x1000}, c.serialOffset, c.descriptorOffset);
    EXPECT_EQ(bird.ReplaceSerialNumber(0x01234567), c.result);
    Bytes expected = Filled(64, 0xEE);
    if (c.serialAt >= 0) {
      const Bytes word = {0x67, 0x45, 0x23, 0x01};
      std::copy(word.begin(), word.end(), expected.begin() + c.serialAt);
    }
    if (c.descriptorAt >= 0) {
      for (int i = 0; i < 8; ++i) expected[c.descriptorAt + 2 * i] = (unsigned char)"01234567"[i];
    }
    EXPECT_EQ(ImageOf(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), expected);
  }
}

TEST(BirdFileImage, ReplaceSerialNumberIgnoresBlocksWithoutImage) {
  // Firmware blocks shorter than their address word, and a loader block
  // holding the offset: nothing is written anywhere.
  Bytes payload = Payload(4, Cat({Block(0x01, {}), Block(0x01, {0, 0}), ImageBlock(0x00, 0x0, Filled(32, 0xEE)),
                                  OffsetsBlock(0x4, 0x8)}));
  BirdFile bird = LoadBytes(File(payload));
  const Bytes before = bird.payload;
  EXPECT_FALSE(bird.ReplaceSerialNumber(0xFFFFFFFF));
  EXPECT_EQ(bird.payload, before);
}

TEST(BirdFileImage, DecodeFirmwareBlocksUndoesTheChainedKey) {
  const unsigned int fingerprint[4] = {0x01020304, 0xA0B0C0D0, 0xDEADBEEF, 0x00FF00FF};
  const unsigned char key[16] = {0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0,
                                 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0xFF, 0x00, 0xFF};
  // Encode as the chip's tool would: each byte XOR the key XOR the previous
  // plain byte, restarting for every block.
  auto encode = [&](const Bytes& plain) {
    Bytes out(plain.size());
    unsigned char previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
      out[i] = plain[i] ^ key[i % 16] ^ previous;
      previous = plain[i];
    }
    return out;
  };
  const Bytes plainA = Counting(37, 5), plainB = Counting(20, 200);
  const Bytes loaderImage = Counting(8);
  BirdFile bird = LoadBytes(File(Payload(3, Cat({ImageBlock(0x01, 0x11223344, encode(plainA)),
                                                  ImageBlock(0x00, 0x0, loaderImage),
                                                  ImageBlock(0x01, 0x55667788, encode(plainB))}))));
  EXPECT_TRUE(bird.DecodeFirmwareBlocks(fingerprint));
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(ImageOf(fw[0]), plainA);
  EXPECT_EQ(ImageOf(fw[1]), plainB);
  EXPECT_EQ(Bytes(fw[0].data, fw[0].data + 4), BE32(0x11223344));
  EXPECT_EQ(ImageOf(bird.FindBlocks(BirdFile::BLOCK_LOADER)[0]), loaderImage);

  // A literal check of the first bytes: 11 22 33 with key 01 02 03 decode to
  // 10, 20^10=30 ... chained through the decoded byte.
  BirdFile small = LoadBytes(File(Payload(1, ImageBlock(0x01, 0, {0x11, 0x22, 0x33}))));
  small.DecodeFirmwareBlocks(fingerprint);
  EXPECT_EQ(ImageOf(small.blocks[0]), (Bytes{0x10, 0x30, 0x00}));
  EXPECT_FALSE(small.DecodeFirmwareBlocks(nullptr));
}

TEST(BirdFileImage, ReplaceVectorChecksum) {
  Bytes vectors;
  const uint32_t words[8] = {0x20001000, 0x00000101, 0x00000111, 0x00000121,
                             0x00000131, 0x55555555, 0xFFFFFFF0, 0x12345678};
  for (uint32_t w : words) vectors = Cat({vectors, {(unsigned char)w, (unsigned char)(w >> 8),
                                                    (unsigned char)(w >> 16), (unsigned char)(w >> 24)}});
  const Bytes image = Cat({vectors, Counting(16)});
  BirdFile bird = LoadBytes(File(Payload(4, Cat({ImageBlock(0x01, 0x0, image), ImageBlock(0x01, 0x4000, image),
                                                  ImageBlock(0x00, 0x0, image),
                                                  ImageBlock(0x01, 0x0, Bytes(vectors.begin(), vectors.end() - 1))}))));
  const Bytes before = bird.payload;
  EXPECT_TRUE(bird.ReplaceVectorChecksum());
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  Bytes fixed = ImageOf(fw[0]);
  uint32_t sum = 0;
  for (int i : {0, 1, 2, 3, 4, 6}) sum += words[i];
  EXPECT_EQ(LE32At(fixed, 28), 0u - sum);
  EXPECT_EQ(LE32At(fixed, 28), 0xDFFFEBACu);
  Bytes rest = fixed;
  std::copy(image.begin() + 28, image.begin() + 32, rest.begin() + 28);
  EXPECT_EQ(rest, image);  // only w7 changed
  EXPECT_EQ(ImageOf(fw[1]), image);  // not at address 0
  EXPECT_EQ(ImageOf(bird.FindBlocks(BirdFile::BLOCK_LOADER)[0]), image);
  EXPECT_EQ(ImageOf(fw[2]), Bytes(vectors.begin(), vectors.end() - 1));  // too short
}

TEST(BirdFileImage, ValidateDataSearchesFirmwareBlocksOnly) {
  BirdFile bird = LoadBytes(File(Payload(2, Cat({ImageBlock(0x01, 0xA1B2C3D4, Counting(10, 0x30)),
                                                  ImageBlock(0x00, 0, {'L', 'O', 'A', 'D'})}))));
  const struct {
    const char* name;
    Bytes pattern;
    bool found;
  } cases[] = {
      {"inside the image", {0x33, 0x34, 0x35}, true},
      {"spans address and image", {0xD4, 0x30}, true},
      {"whole block", Cat({BE32(0xA1B2C3D4), Counting(10, 0x30)}), true},
      {"last byte", {0x39}, true},
      {"longer than the block", Cat({BE32(0xA1B2C3D4), Counting(11, 0x30)}), false},
      {"only in the loader", {'L', 'O', 'A', 'D'}, false},
      {"absent", {0x35, 0x34}, false},
      {"empty", {}, false},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bird.ValidateData(c.pattern.data(), (unsigned)c.pattern.size()), c.found);
  }
}

TEST(BirdFileImage, DumpBlocksFormat) {
  BirdFile bird = LoadBytes(File(Payload(3, Cat({Block(0x05, {'A', 'B', 0x01}), Block(0x03, Counting(52, 0x41)),
                                                  Block(0x05, {})}))));
  bird.path = "x.bird";
  auto dump = [&](BirdFile::BLOCK_TYPE type) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    bird.DumpBlocks(type, out);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
  };
  EXPECT_EQ(dump(BirdFile::BLOCK_LOADER_START),
            "BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: 41 42 01  AB \n \n\n");
  std::string row1, text1;
  for (int i = 0; i < 50; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%02X ", 0x41 + i);
    row1 += hex;
    text1 += isprint(0x41 + i) ? (char)(0x41 + i) : ' ';
  }
  EXPECT_EQ(dump(static_cast<BirdFile::BLOCK_TYPE>(3)),
            "BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: " + row1 + " " + text1 + "\r\n000050: 73 74  st\n\n");
  EXPECT_EQ(dump(BirdFile::BLOCK_FIRMWARE), "BIRDFILE: BLOCK DUMP [x.bird]\n\n");
}
