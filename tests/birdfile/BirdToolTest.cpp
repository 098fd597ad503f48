// birdtool against the reader, and birdtool's bytes against hand-built
// payloads, so that a layout fault shared by writer and reader is caught.

#include <gtest/gtest.h>

#include "tests/birdfile/BirdFixtures.h"
#include "updater/BirdFile.h"

using namespace birdtest;

namespace {

class BirdTool : public ::testing::Test {
 protected:
  // Runs birdtool with args, writing out.bird; returns its exit status.
  int Make(const std::string& args) {
    return birdtest::Run(std::string(BIRDTOOL_EXE) + " -o " + Out() + " " + args + " 2>" + dir.path() + "/err");
  }
  std::string Out() const { return dir.path() + "/out.bird"; }
  std::string Err() const {
    Bytes b = ReadFile(dir.path() + "/err");
    return std::string(b.begin(), b.end());
  }
  Bytes PayloadOf(const std::string& path) {
    Bytes file = ReadFile(path);
    if (file.size() < 6) return {};
    return Inflate(file.data() + 6, file.size() - 6, 1 << 20);
  }
  TempDir dir;
};

uint32_t Sum(const Bytes& b) {
  uint32_t s = 0;
  for (unsigned char c : b) s += c;
  return s;
}

}  // namespace

TEST_F(BirdTool, BytesMatchTheHandBuiltLayout) {
  const std::string image = dir.Write("fw.bin", Counting(30, 9));
  ASSERT_EQ(Make("--build 4711 --version 1.2.3 --serial 1a2b --model Relay4 --flags 6 --firmware 0x08000000:" +
                 image + " --generic 0x2F0:0x300 --loader-start 0x20000400 --block 9:" + image),
            0)
      << Err();
  Bytes file = ReadFile(Out());
  ASSERT_GE(file.size(), 6u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{'b', 'i', 'r', 'd', 1, 1}));
  const Bytes blocks = Cat({Block(0x04, InfoRecord("4711", "1.2.3", "00001A2B", "Relay4")),
                            ImageBlock(0xC1, 0x08000000, Counting(30, 9)),
                            Block(0x02, Cat({BE32(0x2F0), BE32(0x300)})), Block(0x05, BE32(0x20000400)),
                            Block(0x09, Counting(30, 9))});
  const Bytes body = Cat({BE32(5), blocks});
  EXPECT_EQ(PayloadOf(Out()), Cat({body, BE32(Sum(body))}));
}

TEST_F(BirdTool, ReaderUnderstandsWhatTheToolWrites) {
  ASSERT_EQ(Make("--build 99 --version 3.0.0-rc1 --serial DEADBEEF --model Hub8Plus "
                 "--loader 0x10000000:random:300 --flags 7 --firmware 0:random:5000:42 "
                 "--firmware 0x8000:random:100:7"),
            0)
      << Err();
  ASSERT_TRUE(BirdFile::VerifyFile(Out().c_str()));
  BirdFile bird(Out().c_str());
  EXPECT_TRUE(bird.ScanMatched());
  EXPECT_EQ(bird.GetBuild(), 99u);
  EXPECT_EQ(bird.GetVersion(), "3.0.0-rc1");
  EXPECT_EQ(bird.GetSerialNumber(), 0xDEADBEEFu);
  EXPECT_TRUE(bird.ValidateModel("Hub8Plus"));
  EXPECT_FALSE(bird.hasSerialBlock);
  ASSERT_EQ(bird.blockCount, 4u);
  auto loaders = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loaders.size(), 1u);
  EXPECT_EQ(loaders[0].address, 0x10000000u);
  EXPECT_EQ(loaders[0].length, 304u);
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(fw.size(), 2u);
  EXPECT_EQ(fw[0].flags, 7);
  EXPECT_EQ(fw[0].length, 5004u);
  EXPECT_EQ(fw[1].flags, 0);  // --flags applies to one block only
  EXPECT_EQ(fw[1].address, 0x8000u);
  // The same seed gives the same bytes; another seed differs.
  Bytes first = ReadFile(Out());
  ASSERT_EQ(Make("--build 99 --version 3.0.0-rc1 --serial DEADBEEF --model Hub8Plus "
                 "--loader 0x10000000:random:300 --flags 7 --firmware 0:random:5000:42 "
                 "--firmware 0x8000:random:100:7"),
            0);
  EXPECT_EQ(ReadFile(Out()), first);
}

TEST_F(BirdTool, GenericImageReceivesTheSerialNumber) {
  ASSERT_EQ(Make("--model Relay4 --generic 0x2F0:0x300 --firmware 0x200:random:512"), 0) << Err();
  BirdFile bird(Out().c_str());
  ASSERT_TRUE(bird.hasSerialBlock);
  EXPECT_EQ(bird.serialNumberOffset, 0x2F0u);
  EXPECT_EQ(bird.descriptorOffset, 0x300u);
  ASSERT_TRUE(bird.ReplaceSerialNumber(0x00C0FFEE));
  const unsigned char* image = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data + 4;
  EXPECT_EQ(Bytes(image + 0xF0, image + 0xF4), (Bytes{0xEE, 0xFF, 0xC0, 0x00}));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(image[0x100 + 2 * i], "00C0FFEE"[i]);
}

TEST_F(BirdTool, FormatOverridesMakeDamagedFiles) {
  ASSERT_EQ(Make("--declare-count 3 --checksum 0badf00d --firmware 0:random:64"), 0) << Err();
  BirdFile counted(Out().c_str());
  EXPECT_EQ(counted.blockCount, 2u);
  EXPECT_FALSE(counted.ScanMatched());
  EXPECT_EQ(counted.checksum, 0x0BADF00Du);

  ASSERT_EQ(Make("--format-version 0100 --no-info --firmware 0:random:64"), 0) << Err();
  EXPECT_FALSE(BirdFile::VerifyFile(Out().c_str()));
  BirdFile noInfo(Out().c_str());
  EXPECT_EQ(noInfo.blockCount, 1u);
  EXPECT_EQ(noInfo.GetBuild(), 0u);
}

TEST_F(BirdTool, RefusesFilesTheReaderCannotInflate) {
  const std::string zeros = dir.Write("zeros.bin", Filled(100000, 0));
  EXPECT_EQ(Make("--firmware 0:" + zeros), 1);
  EXPECT_NE(Err().find("eight times"), std::string::npos) << Err();
  ASSERT_EQ(Make("--force --firmware 0:" + zeros), 0) << Err();
  EXPECT_TRUE(BirdFile::VerifyFile(Out().c_str()));
  EXPECT_THROW(BirdFile(Out().c_str()), std::runtime_error);
  // Stored (level 0) compression keeps any image loadable.
  ASSERT_EQ(Make("--level 0 --firmware 0:" + zeros), 0) << Err();
  BirdFile stored(Out().c_str());
  EXPECT_EQ(stored.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].length, 100004u);
}

TEST_F(BirdTool, RejectsBadArguments) {
  const char* cases[] = {
      "--firmware 0x0",                     // no file
      "--firmware 0:/nonexistent/fw.bin",   // missing file
      "--version \"has space\"",            // would be cut by readers
      "--version 1234567890123456",         // 16 characters
      "--model ABCDEFGHIJKLMNOPQ",          // 17 characters
      "--serial 123456789",                 // 9 digits
      "--flags 8 --firmware 0:random:4",    // flags are three bits
      "--block 32:random:4",                // types are five bits
      "--build -1",
      "--firmware 0x100000000:random:4",    // address beyond 32 bits
      "--flags 1",                          // flags for no block
      "--bogus",
  };
  for (const char* args : cases) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Make(args), 1);
    EXPECT_FALSE(Err().empty());
  }
  EXPECT_EQ(birdtest::Run(std::string(BIRDTOOL_EXE) + " --build 1 2>/dev/null"), 1);  // no output named
  EXPECT_FALSE(ReadFile(Out()).size() > 0);
}
