// Loading BIRD files: header, inflation, block scan, identification record,
// header check and moves, against hand-built bytes.

#include <gtest/gtest.h>
#include <stdio.h>
#include <zlib.h>

#include <stdexcept>

#include "app/Log.h"
#include "tests/birdfile/BirdFixtures.h"
#include "updater/BirdFile.h"

using namespace birdtest;

namespace {

// Captures the diagnostic log of the BIRD file package while it lives.
class LogCapture {
 public:
  LogCapture() : file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_BirdFile);
  }
  ~LogCapture() {
    Log::DeactivatePackage(DEBUG_BirdFile);
    Log::SetOutput(nullptr);
    fclose(file_);
  }
  std::string Text() {
    fflush(file_);
    rewind(file_);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
    return text;
  }

 private:
  FILE* file_;
};

BirdFile LoadBytes(const Bytes& file) { return BirdFile(file.data(), file.size()); }

// A complete, well-formed build: identification, loader, firmware (flags 5),
// loader start address.
Bytes WellFormedPayload() {
  return Payload(4, Cat({Block(0x04, InfoRecord("1234", "2.15.3", "0000BEEF", "Hub8")),
                         ImageBlock(0x00, 0x10000000, Counting(40)),
                         ImageBlock(0xA1, 0x00000000, Counting(100, 7)),
                         Block(0x05, BE32(0x20000400))}),
                 0x12345678);
}

}  // namespace

// The whole file spelled out byte by byte, its zlib stream a single stored
// (uncompressed) deflate block, so that nothing of the writer side is used.
TEST(BirdFileLoad, LiteralFileWithStoredDeflateBlock) {
  const Bytes payload = {
      0x00, 0x00, 0x00, 0x01,              // one block
      0x21,                                // firmware, flags 1
      0x00, 0x00, 0x00, 0x06,              // length 6
      0x00, 0x00, 0x10, 0x00,              // load address 0x1000
      0xAA, 0x55,                          // image
      0xDE, 0xAD, 0xBE, 0xEF,              // checksum
  };
  const uint16_t len = (uint16_t)payload.size();
  Bytes file = {'b', 'i', 'r', 'd', 0x01, 0x01, 0x78, 0x01,
                0x01, (unsigned char)len, (unsigned char)(len >> 8),
                (unsigned char)~len, (unsigned char)(~len >> 8)};
  file.insert(file.end(), payload.begin(), payload.end());
  const uint32_t adler = adler32(1, payload.data(), len);
  const Bytes trailer = BE32(adler);
  file.insert(file.end(), trailer.begin(), trailer.end());

  TempDir dir;
  BirdFile bird(dir.Write("literal.bird", file).c_str());
  EXPECT_EQ(bird.signature, 0x62697264u);
  EXPECT_EQ(bird.version, 0x0101u);
  EXPECT_EQ(bird.payloadSize, payload.size());
  EXPECT_EQ(bird.checksum, 0xDEADBEEFu);
  EXPECT_TRUE(bird.ScanMatched());
  ASSERT_EQ(bird.blockCount, 1u);
  ASSERT_EQ(bird.blocks.size(), 1u);
  const BirdBlock& b = bird.blocks[0];
  EXPECT_EQ(b.type, BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(b.flags, 1);
  EXPECT_EQ(b.length, 6u);
  EXPECT_EQ(b.address, 0x1000u);
  EXPECT_EQ(b.data, bird.payload.data() + 9);
  EXPECT_EQ(b.data[4], 0xAA);
  EXPECT_EQ(b.data[5], 0x55);
  EXPECT_FALSE(bird.hasSerialBlock);
  EXPECT_EQ(bird.GetBuild(), 0u);
  EXPECT_EQ(bird.GetVersion(), "");
}

TEST(BirdFileLoad, WellFormedFileFromPathAndFromBytesAgree) {
  TempDir dir;
  const Bytes file = File(WellFormedPayload());
  const std::string path = dir.Write("1234.bird", file);
  BirdFile fromPath(path.c_str());
  BirdFile fromBytes = LoadBytes(file);
  for (BirdFile* bird : {&fromPath, &fromBytes}) {
    EXPECT_TRUE(bird->ScanMatched());
    EXPECT_EQ(bird->checksum, 0x12345678u);
    EXPECT_EQ(bird->GetBuild(), 1234u);
    EXPECT_EQ(bird->GetVersion(), "2.15.3");
    EXPECT_EQ(bird->GetSerialNumber(), 0xBEEFu);
    EXPECT_EQ(bird->GetModel(), "Hub8");
    ASSERT_EQ(bird->blockCount, 4u);
    auto loaders = bird->FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loaders.size(), 1u);
    EXPECT_EQ(loaders[0].address, 0x10000000u);
    EXPECT_EQ(loaders[0].length, 44u);
    auto firmware = bird->FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(firmware[0].flags, 5);
    EXPECT_EQ(firmware[0].data[4], 7);
    auto start = bird->FindBlocks(BirdFile::BLOCK_LOADER_START);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].address, 0u);  // only loader and firmware blocks carry one
    EXPECT_TRUE(bird->FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty());
  }
  EXPECT_EQ(fromPath.path, path);
  EXPECT_EQ(fromBytes.path, "");
}

// Files that cannot be loaded: the path constructor throws the fixed text.
TEST(BirdFileLoad, UnloadableFilesThrow) {
  const Bytes good = File(WellFormedPayload());
  Bytes corrupt = good;
  corrupt[corrupt.size() / 2] ^= 0xFF;
  Bytes badAdler = good;
  badAdler.back() ^= 0x01;
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"header only", {'b', 'i', 'r', 'd', 1, 1}},
      {"truncated stream", Bytes(good.begin(), good.begin() + good.size() - 10)},
      {"corrupt stream", corrupt},
      {"bad adler", badAdler},
      {"not zlib", Cat({{'b', 'i', 'r', 'd', 1, 1}, Counting(64)})},
      // 4 KiB of one value inflates to far more than eight times its size.
      {"inflates more than 8x", File(Payload(1, Block(0x21, Filled(4096, 0))))},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("bad.bird", c.bytes);
    try {
      BirdFile bird(path.c_str());
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    BirdFile empty;
    empty.path = path;
    EXPECT_FALSE(empty.Load());
    EXPECT_EQ(empty.payloadSize, 0u);
    EXPECT_TRUE(empty.blocks.empty());
    EXPECT_THROW(LoadBytes(c.bytes), std::runtime_error);
  }
  EXPECT_THROW(BirdFile((dir.path() + "/missing.bird").c_str()), std::runtime_error);
  EXPECT_THROW(BirdFile(dir.path().c_str()), std::runtime_error);  // a directory
}

TEST(BirdFileLoad, InflationUpToEightTimesIsAccepted) {
  // Incompressible bytes stay far below the limit; stored deflate blocks add
  // a few bytes, so the ratio is just below one.
  const Bytes payload = Payload(1, ImageBlock(0x01, 0, Counting(2000)));
  uLongf size = compressBound(payload.size());
  Bytes compressed(size);
  ASSERT_EQ(compress2(compressed.data(), &size, payload.data(), payload.size(), 0), Z_OK);
  compressed.resize(size);
  BirdFile bird = LoadBytes(Cat({{'b', 'i', 'r', 'd', 1, 1}, compressed}));
  EXPECT_EQ(bird.payloadSize, payload.size());
}

// Structural faults of the payload: the load succeeds, the blocks parsed up
// to the fault stay usable and the scan reports the mismatch.
TEST(BirdFileLoad, ScanKeepsBlocksBeforeAFault) {
  const Bytes fw = ImageBlock(0x01, 0x100, Counting(12));
  const struct {
    const char* name;
    Bytes payload;
    uint32_t blockCount;
    bool matched;
    const char* logged;
  } cases[] = {
      {"declares 3, holds 2", Payload(3, Cat({fw, fw})), 2, false,
       "Block parsing mismatch in number of blocks. (2 != 3)"},
      {"declares 1, holds 2", Payload(1, Cat({fw, fw})), 2, false, "(2 != 1)"},
      {"exactly four checksum bytes", Payload(2, Cat({fw, fw})), 2, true, "File checksum C0FFEE00"},
      {"length runs past the end", Payload(2, Cat({fw, BlockClaiming(0x01, 0x7FFFFFF0, Counting(8))})),
       1, false, "mismatch in data size"},
      {"length of 0xFFFFFFFF", Payload(2, Cat({fw, BlockClaiming(0x01, 0xFFFFFFFF, Counting(8))})), 1,
       false, "mismatch in data size"},
      {"three bytes left for the checksum", Cat({BE32(1), fw, {1, 2, 3}}), 1, false,
       "mismatch in data size. (-1 bytes remaining)"},
      {"no checksum", Cat({BE32(1), fw}), 1, false, "mismatch in data size. (-4 bytes remaining)"},
      {"block eats the checksum", Cat({BE32(1), BlockClaiming(0x01, 10, Counting(10))}), 1, false,
       "mismatch in data size"},
      {"count only", BE32(0), 0, false, "mismatch in data size"},
      {"two bytes", {0, 0}, 0, false, "mismatch in data size"},
      {"no blocks", Payload(0, {}), 0, true, "File reports 0 blocks"},
      {"empty block eats the checksum", Cat({BE32(1), {0x01, 0, 0, 0, 0}}), 1, false,
       "mismatch in data size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    BirdFile bird = LoadBytes(File(c.payload));
    EXPECT_EQ(bird.blockCount, c.blockCount);
    EXPECT_EQ(bird.blocks.size(), c.blockCount);
    EXPECT_EQ(bird.ScanMatched(), c.matched);
    EXPECT_NE(log.Text().find(c.logged), std::string::npos) << log.Text();
    for (const BirdBlock& b : bird.blocks) {
      EXPECT_GE(b.data, bird.payload.data());
      EXPECT_LE(b.data + b.length, bird.payload.data() + bird.payloadSize);
    }
  }
}

TEST(BirdFileLoad, TypeByteSplitsIntoTypeAndFlags) {
  const struct {
    uint8_t typeByte;
    uint8_t type;
    uint8_t flags;
  } cases[] = {{0xE1, 1, 7}, {0x01, 1, 0}, {0x20, 0, 1}, {0x5F, 31, 2}, {0x83, 3, 4}, {0xE4, 4, 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typeByte);
    BirdFile bird = LoadBytes(File(Payload(1, Block(c.typeByte, BE32(0xAABBCCDD)))));
    ASSERT_EQ(bird.blocks.size(), 1u);
    EXPECT_EQ(bird.blocks[0].type, c.type);
    EXPECT_EQ(bird.blocks[0].flags, c.flags);
    EXPECT_EQ(bird.blocks[0].address, c.type <= 1 ? 0xAABBCCDDu : 0u);
  }
}

TEST(BirdFileLoad, ShortImageBlocksHaveNoAddress) {
  BirdFile bird = LoadBytes(File(Payload(3, Cat({Block(0x01, {}), Block(0x00, {1, 2, 3}),
                                                  Block(0x01, {0, 0, 0, 9})}))));
  ASSERT_EQ(bird.blocks.size(), 3u);
  EXPECT_EQ(bird.blocks[0].address, 0u);
  EXPECT_EQ(bird.blocks[1].address, 0u);
  EXPECT_EQ(bird.blocks[2].address, 9u);
}

TEST(BirdFileLoad, IdentificationFields) {
  const struct {
    const char* name;
    Bytes info;
    unsigned build;
    const char* version;
    unsigned serial;
    const char* model;
  } cases[] = {
      {"sixteenth build byte ignored", Cat({Bytes{'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                                                  '0', '4', '2', '7'},
                                            Bytes(48, ' ')}),
       42, "", 0, ""},
      {"padded fields", InfoRecord("   77", "1.2.3", "1A2B3C4D", "ABC"), 77, "1.2.3", 0x1A2B3C4D, "ABC"},
      {"version ends at first space", InfoRecord("5", "1.2 beta", "0x00FF", "Two Words"), 5, "1.2", 0xFF,
       "Two Words"},
      {"build stops at a non-digit", InfoRecord("12a4", "v", "ab", "M"), 12, "v", 0xAB, "M"},
      {"build beyond 32 bits", InfoRecord("99999999999", "v", "1", "M"), 0, "v", 1, "M"},
      {"negative build", InfoRecord("-5", "v", "-1", "M"), 0, "v", 0, "M"},
      {"full-width model", InfoRecord("1", "123456789012345x", "123456789", "ABCDEFGHIJKLMNOP"), 1,
       "123456789012345", 0x12345678, "ABCDEFGHIJKLMNOP"},
      {"empty fields", InfoRecord("", "", "", ""), 0, "", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BirdFile bird = LoadBytes(File(Payload(1, Block(0x04, c.info))));
    EXPECT_EQ(bird.GetBuild(), c.build);
    EXPECT_EQ(bird.GetVersion(), c.version);
    EXPECT_EQ(bird.GetSerialNumber(), c.serial);
    EXPECT_TRUE(bird.ValidateSerialNumber(c.serial));
    EXPECT_EQ(bird.GetModel(), c.model);
  }
}

TEST(BirdFileLoad, MissingOrShortIdentificationGivesNothing) {
  const Bytes fullInfo = InfoRecord("9", "1.0", "12345678", "ABC");
  const Bytes shortInfo(fullInfo.begin(), fullInfo.begin() + 63);
  for (const Bytes& payload : {Payload(1, ImageBlock(0x01, 0, Counting(8))),
                               Payload(1, Block(0x04, shortInfo)), Payload(1, Block(0x04, {}))}) {
    BirdFile bird = LoadBytes(File(payload));
    EXPECT_EQ(bird.GetBuild(), 0u);
    EXPECT_EQ(bird.GetVersion(), "");
    EXPECT_EQ(bird.GetSerialNumber(), 0u);
    EXPECT_EQ(bird.GetModel(), "");
    EXPECT_FALSE(bird.ValidateModel("ABC"));
    EXPECT_TRUE(bird.ValidateSerialNumber(0));
  }
  BirdFile empty;
  EXPECT_EQ(empty.GetBuild(), 0u);
  EXPECT_FALSE(empty.ValidateModel("ABC"));
}

TEST(BirdFileLoad, ModelPrefixMatch) {
  BirdFile bird = LoadBytes(File(Payload(1, Block(0x04, InfoRecord("1", "1", "1", "ABC")))));
  const struct {
    const char* model;
    bool match;
  } cases[] = {{"ABC", true}, {"AB", true}, {"A", true}, {"ABCD", false}, {"abc", false},
               {"ABC ", false}, {"XBC", false}, {"", false}, {nullptr, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model ? c.model : "(null)");
    EXPECT_EQ(bird.ValidateModel(c.model), c.match);
  }
}

TEST(BirdFileLoad, VerifyFileChecksTheHeaderOnly) {
  TempDir dir;
  const struct {
    const char* name;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"good header, junk payload", {'b', 'i', 'r', 'd', 1, 1, 0xFF}, true},
      {"header without payload", {'b', 'i', 'r', 'd', 2, 7}, true},
      {"second version byte zero", {'b', 'i', 'r', 'd', 1, 0}, false},
      {"first version byte zero", {'b', 'i', 'r', 'd', 0, 1, 0x78}, false},
      {"upper-case signature", {'B', 'I', 'R', 'D', 1, 1, 0x78}, false},
      {"five bytes", {'b', 'i', 'r', 'd', 1}, false},
      {"empty", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BirdFile::VerifyFile(dir.Write("f.bird", c.bytes).c_str()), c.valid);
  }
  EXPECT_FALSE(BirdFile::VerifyFile((dir.path() + "/missing.bird").c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST(BirdFileLoad, GenericImageOffsets) {
  const struct {
    const char* name;
    Bytes offsets;
    bool hasSerialBlock;
    uint32_t serialOffset;
    uint32_t descriptorOffset;
  } cases[] = {
      {"both offsets", Cat({BE32(0x2F0), BE32(0x300)}), true, 0x2F0, 0x300},
      {"extra bytes ignored", Cat({BE32(1), BE32(2), BE32(3)}), true, 1, 2},
      {"seven bytes", Cat({BE32(0x2F0), {0, 0, 3}}), true, 0, 0},
      {"empty block", {}, true, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BirdFile bird = LoadBytes(File(Payload(2, Cat({ImageBlock(0x01, 0, Counting(16)), Block(0x02, c.offsets)}))));
    EXPECT_EQ(bird.hasSerialBlock, c.hasSerialBlock);
    EXPECT_EQ(bird.serialNumberOffset, c.serialOffset);
    EXPECT_EQ(bird.descriptorOffset, c.descriptorOffset);
  }
  // Only the first offsets block counts.
  BirdFile two = LoadBytes(File(Payload(2, Cat({Block(0x02, Cat({BE32(8), BE32(0)})),
                                                Block(0x02, Cat({BE32(9), BE32(9)}))}))));
  EXPECT_EQ(two.serialNumberOffset, 8u);
  EXPECT_EQ(two.descriptorOffset, 0u);
}

TEST(BirdFileLoad, MovesKeepBlocksPointingIntoTheOwnPayload) {
  BirdFile source = LoadBytes(File(WellFormedPayload()));
  const unsigned char* firstData = source.blocks[1].data;
  BirdFile moved(std::move(source));
  ASSERT_EQ(moved.blocks.size(), 4u);
  EXPECT_EQ(moved.blocks[1].data, firstData);
  EXPECT_EQ(moved.GetBuild(), 1234u);
  EXPECT_TRUE(source.blocks.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(source.payloadSize, 0u);
  EXPECT_EQ(source.GetBuild(), 0u);

  BirdFile assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.blocks[1].data, firstData);
  EXPECT_GE(assigned.blocks[1].data, assigned.payload.data());
  EXPECT_LT(assigned.blocks[1].data, assigned.payload.data() + assigned.payloadSize);
  EXPECT_EQ(assigned.GetModel(), "Hub8");
  EXPECT_TRUE(moved.blocks.empty());  // NOLINT(bugprone-use-after-move)
}

TEST(BirdFileLoad, DefaultObjectIsEmpty) {
  BirdFile bird;
  EXPECT_EQ(bird.path, "");
  EXPECT_EQ(bird.signature, 0u);
  EXPECT_EQ(bird.version, 0u);
  EXPECT_EQ(bird.blockCount, 0u);
  EXPECT_EQ(bird.payloadSize, 0u);
  EXPECT_TRUE(bird.blocks.empty());
  EXPECT_FALSE(bird.hasSerialBlock);
  EXPECT_FALSE(bird.FindSerialNumberOffsets());
  EXPECT_FALSE(bird.ReplaceSerialNumber(1));
}
