// One-step file replacement: the target holds either the old or the new
// bytes, never a mixture, and no temporary file is left behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/store/TempDir.h"
#include "updater/path.h"

TEST(ReplaceFile, CreatesAndReplaces) {
  TempDir dir;
  std::string target = dir / "100.bird";
  ASSERT_EQ(aErrNone, path_ReplaceFile(target.c_str(), "first", 5));
  EXPECT_EQ("first", ReadText(target));
  ASSERT_EQ(aErrNone, path_ReplaceFile(target.c_str(), "second!", 7));
  EXPECT_EQ("second!", ReadText(target));
  ASSERT_EQ(aErrNone, path_ReplaceFile(target.c_str(), "", 0));
  EXPECT_EQ("", ReadText(target));
  EXPECT_EQ(std::vector<std::string>{"100.bird"}, ListNames(dir.path()));
}

TEST(ReplaceFile, FailedWriteKeepsThePreviousFile) {
  TempDir dir;
  std::string target = dir / "100.bird";
  std::string old(64, 'o');
  ASSERT_EQ(aErrNone, path_ReplaceFile(target.c_str(), old.data(), old.size()));
  std::string big(100000, 'n');
  int err = 0;
  {
    // The device "fills up" after 4096 bytes: the new file cannot be written.
    FileSizeLimit limit(4096);
    EXPECT_EQ(aErrWrite, path_ReplaceFile(target.c_str(), big.data(), big.size(), &err));
  }
  EXPECT_EQ(EFBIG, err);
  EXPECT_EQ(old, ReadText(target));
  EXPECT_EQ(std::vector<std::string>{"100.bird"}, ListNames(dir.path()));
}

TEST(ReplaceFile, MissingDirectoryAndBadArguments) {
  TempDir dir;
  std::string target = dir / "missing/100.bird";
  int err = 0;
  EXPECT_EQ(aErrNotFound, path_ReplaceFile(target.c_str(), "x", 1, &err));
  EXPECT_EQ(ENOENT, err);
  EXPECT_EQ(aErrParam, path_ReplaceFile(nullptr, "x", 1));
  EXPECT_EQ(aErrParam, path_ReplaceFile("", "x", 1));
  EXPECT_EQ(aErrParam, path_ReplaceFile((dir / "a").c_str(), nullptr, 1));
}

TEST(PathParts, DirectoryAndName) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
  } cases[] = {
      {"/a/b/c", "/a/b", "c"}, {"c", ".", "c"}, {"/c", "/", "c"}, {"a/b/", "a/b", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.dir, path_Directory(c.path)) << c.path;
    EXPECT_EQ(c.name, path_FileName(c.path)) << c.path;
  }
}
