#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/aDirectory.h"
#include "common/aFile.h"
#include "tests/foundation/TempDir.h"
#include "tests/foundation/Unprivileged.h"

namespace {

class FileTest : public ::testing::Test {
 protected:
  // Writes text into name inside the temporary directory; returns its path.
  std::string makeFile(const std::string& name, const std::string& text) {
    std::string path = dir_ / name;
    aFileHandle f = aFile_Open(path.c_str(), aFileModeWriteOnly);
    EXPECT_NE(f, nullptr);
    if (!f) return path;
    EXPECT_EQ(aFile_Write(f, (const uint8_t*)text.data(), text.size(), nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    return path;
  }
  std::string readAll(const std::string& path) {
    aFileHandle f = aFile_Open(path.c_str(), aFileModeReadOnly);
    EXPECT_NE(f, nullptr);
    std::string text;
    uint8_t chunk[7];
    size_t n = 0;
    while (f && aFile_Read(f, chunk, sizeof chunk, &n) == aErrNone) text.append((char*)chunk, n);
    aFile_Close(&f);
    return text;
  }
  TempDir dir_;
};

TEST_F(FileTest, OpenRefusesBadArguments) {
  std::string path = dir_ / "f";
  EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeWriteOnly), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), 0xFFFFFFFF), nullptr);
  EXPECT_EQ(aFile_Open(path.c_str(), aFileModeReadOnly), nullptr);  // missing
  EXPECT_EQ(aFile_Open(dir_.path().c_str(), aFileModeWriteOnly), nullptr);
  std::string tooLong(aFILE_MAXPATHLEN + 1, 'a');
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWriteOnly), nullptr);
  EXPECT_FALSE(aFile_Exists(tooLong.c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(dir_.path().c_str()));  // a directory is not a file
}

TEST_F(FileTest, CloseClearsTheHandleAndRefusesIt) {
  aFileHandle f = aFile_Open((dir_ / "f").c_str(), aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(aFile_Exists((dir_ / "f").c_str()));
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  uint8_t b[4];
  size_t n = 99;
  EXPECT_EQ(aFile_Read(f, b, sizeof b, &n), aErrParam);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Write(f, b, sizeof b, nullptr), aErrParam);
  EXPECT_EQ(aFile_Seek(f, 0, aSeekStart), aErrParam);
  size_t size = 1;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrParam);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(aFile_Printf(f, "x"), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(f), aErrParam);
}

TEST_F(FileTest, ReadAtAndNearTheEnd) {
  std::string path = makeFile("data", "0123456789abcd");
  aFileHandle f = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(f, nullptr);
  uint8_t buffer[10];
  size_t n = 0;
  EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrNone);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrNone);  // 4 remain: short read
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(memcmp(buffer, "abcd", 4), 0);
  EXPECT_EQ(aFile_Read(f, buffer, 10, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Read(f, buffer, 0, &n), aErrNone);  // nothing asked
  EXPECT_EQ(aFile_Read(f, nullptr, 10, &n), aErrParam);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(FileTest, ModesAllowOnlyTheirOperations) {
  std::string path = makeFile("m", "line\n");
  uint8_t b[4] = {1, 2, 3, 4};
  char line[16];
  size_t n;

  aFileHandle reader = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(aFile_Write(reader, b, 4, &n), aErrMode);
  EXPECT_EQ(aFile_Printf(reader, "%d", 1), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
  aFile_Close(&reader);

  aFileHandle writer = aFile_Open(path.c_str(), aFileModeWriteOnly);  // truncates
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(aFile_Read(writer, b, 4, &n), aErrMode);
  EXPECT_EQ(aFile_ReadLine(writer, line, sizeof line, &n), aErrMode);
  EXPECT_EQ(aFile_Printf(writer, "%s=%d\n", "key", 42), aErrNone);
  aFile_Close(&writer);
  EXPECT_EQ(readAll(path), "key=42\n");
}

TEST_F(FileTest, AppendWritesAtTheEndAndCanReadBack) {
  std::string path = makeFile("log", "first\n");
  aFileHandle f = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_SetUnbuffered(f), aErrNone);
  uint8_t b[8];
  size_t n = 0;
  EXPECT_EQ(aFile_Read(f, b, sizeof b, &n), aErrEOF);  // positioned at the end
  EXPECT_EQ(aFile_Printf(f, "second\n"), aErrNone);
  // Reading right after writing continues at the end of the file.
  EXPECT_EQ(aFile_Read(f, b, sizeof b, &n), aErrEOF);
  EXPECT_EQ(aFile_Seek(f, 0, aSeekStart), aErrNone);
  char line[32];
  EXPECT_EQ(aFile_ReadLine(f, line, sizeof line, &n), aErrNone);
  EXPECT_STREQ(line, "first\n");
  // Writes always go to the end, wherever the reader stands.
  EXPECT_EQ(aFile_Printf(f, "third\n"), aErrNone);
  EXPECT_EQ(aFile_ReadLine(f, line, sizeof line, &n), aErrEOF);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 19u);
  aFile_Close(&f);
  EXPECT_EQ(readAll(path), "first\nsecond\nthird\n");
}

struct SeekCase {
  const char* name;
  int64_t first;  // applied from the start before the seek under test
  int64_t offset;
  aFileSeekOrigin origin;
  aErr result;
  int64_t position;  // expected afterwards (unchanged on failure)
};

// The file holds 10 bytes.
const SeekCase kSeekCases[] = {
    {"start 0", 5, 0, aSeekStart, aErrNone, 0},
    {"start size", 0, 10, aSeekStart, aErrNone, 10},
    {"start past end", 3, 11, aSeekStart, aErrRange, 3},
    {"start negative", 3, -1, aSeekStart, aErrRange, 3},
    {"end 0", 0, 0, aSeekEnd, aErrNone, 10},
    {"end +1", 4, 1, aSeekEnd, aErrRange, 4},
    {"end -10", 4, -10, aSeekEnd, aErrNone, 0},
    {"end -11", 4, -11, aSeekEnd, aErrRange, 4},
    {"current +3", 4, 3, aSeekCurrent, aErrNone, 7},
    {"current -4", 4, -4, aSeekCurrent, aErrNone, 0},
    {"current -5", 4, -5, aSeekCurrent, aErrRange, 4},
    {"current +7", 4, 7, aSeekCurrent, aErrRange, 4},
    {"huge", 4, INT64_MAX, aSeekCurrent, aErrRange, 4},
    {"huge negative", 4, INT64_MIN, aSeekEnd, aErrRange, 4},
    {"bad origin", 4, 0, 3, aErrParam, 4},
};

TEST_F(FileTest, SeekStaysWithinTheFile) {
  std::string path = makeFile("seek", "0123456789");
  for (const SeekCase& c : kSeekCases) {
    SCOPED_TRACE(c.name);
    aFileHandle f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(aFile_Seek(f, c.first, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.result);
    uint8_t b = 0;
    size_t n = 0;
    aErr e = aFile_Read(f, &b, 1, &n);
    if (c.position == 10) {
      EXPECT_EQ(e, aErrEOF);
    } else {
      EXPECT_EQ(e, aErrNone);
      EXPECT_EQ(b, '0' + c.position);
    }
    aFile_Close(&f);
  }
}

TEST_F(FileTest, GetSizeKeepsThePosition) {
  std::string path = makeFile("size", "abcdefgh");
  aFileHandle f = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(aFile_Seek(f, 3, aSeekStart), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
  uint8_t b;
  EXPECT_EQ(aFile_Read(f, &b, 1, nullptr), aErrNone);
  EXPECT_EQ(b, 'd');
  aFile_Close(&f);

  aFileHandle empty = aFile_Open((dir_ / "empty").c_str(), aFileModeWriteOnly);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(aFile_GetSize(empty, &size), aErrNone);
  EXPECT_EQ(size, 0u);
  aFile_Close(&empty);
}

TEST_F(FileTest, ReadLineSplitsLongLinesWithOverrun) {
  std::string path = makeFile("lines", "abcdef\nabc\n\nlast");
  aFileHandle f = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(f, nullptr);
  char small[4];
  size_t n = 99;
  EXPECT_EQ(aFile_ReadLine(f, small, sizeof small, &n), aErrOverrun);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(aFile_ReadLine(f, small, sizeof small, &n), aErrOverrun);
  EXPECT_STREQ(small, "def");
  EXPECT_EQ(aFile_ReadLine(f, small, sizeof small, &n), aErrNone);
  EXPECT_STREQ(small, "\n");
  EXPECT_EQ(n, 1u);

  char fits[5];
  EXPECT_EQ(aFile_ReadLine(f, fits, sizeof fits, &n), aErrNone);
  EXPECT_STREQ(fits, "abc\n");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(aFile_ReadLine(f, fits, sizeof fits, &n), aErrNone);
  EXPECT_STREQ(fits, "\n");
  // A last line without newline that exactly fills the buffer is complete.
  EXPECT_EQ(aFile_ReadLine(f, fits, sizeof fits, &n), aErrNone);
  EXPECT_STREQ(fits, "last");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(aFile_ReadLine(f, fits, sizeof fits, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_STREQ(fits, "");
  EXPECT_EQ(aFile_ReadLine(f, fits, 1, &n), aErrParam);
  EXPECT_EQ(aFile_ReadLine(f, nullptr, 8, &n), aErrParam);
  aFile_Close(&f);
}

TEST_F(FileTest, WriteReportsCountsAndBinaryDataSurvives) {
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 7);
  std::string path = dir_ / "bin";
  aFileHandle f = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  size_t n = 0;
  EXPECT_EQ(aFile_Write(f, data.data(), data.size(), &n), aErrNone);
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(aFile_Write(f, data.data(), 0, &n), aErrNone);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Write(f, nullptr, 1, &n), aErrParam);
  aFile_Close(&f);
  std::string back = readAll(path);
  ASSERT_EQ(back.size(), data.size());
  EXPECT_EQ(memcmp(back.data(), data.data(), data.size()), 0);
}

TEST_F(FileTest, WriteFailureIsReported) {
  // /dev/full accepts the open and fails every write.
  aFileHandle f = aFile_Open("/dev/full", aFileModeWriteOnly);
  if (!f) GTEST_SKIP() << "/dev/full is not available";
  ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
  uint8_t b[16] = {0};
  size_t n = 99;
  EXPECT_EQ(aFile_Write(f, b, sizeof b, &n), aErrIO);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Printf(f, "hello %d", 1), aErrIO);
  aFile_Close(&f);
}

TEST_F(FileTest, DeleteReportsWhyItFailed) {
  std::string path = makeFile("gone", "x");
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(path.c_str()));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  std::string tooLong(aFILE_MAXPATHLEN + 1, 'a');
  EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);
  // A directory is not removed as a file.
  EXPECT_EQ(aFile_Delete(dir_.path().c_str()), aErrIO);
  EXPECT_TRUE(aDirectory_Exists(dir_.path().c_str()));
}

TEST_F(FileTest, DeleteWithoutPermission) {
  std::string path = makeFile("kept", "x");
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  int result = runUnprivileged([&] { return (int)aFile_Delete(path.c_str()); });
  chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(result, (int)aErrPermission);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
}

}  // namespace
