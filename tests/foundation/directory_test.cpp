#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "common/aDirectory.h"
#include "common/aFile.h"
#include "tests/foundation/TempDir.h"
#include "tests/foundation/Unprivileged.h"

namespace {

void writeFile(const std::string& path, const std::string& text) {
  aFileHandle f = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(f, nullptr) << path;
  EXPECT_EQ(aFile_Write(f, (const uint8_t*)text.data(), text.size(), nullptr), aErrNone);
  aFile_Close(&f);
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs a test body with the temporary directory as working directory.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path) {
    saved_ = getcwd(buffer_, sizeof buffer_) != nullptr;
    EXPECT_EQ(chdir(path.c_str()), 0);
  }
  ~WorkingDirectory() {
    if (saved_) EXPECT_EQ(chdir(buffer_), 0);
  }

 private:
  char buffer_[4096];
  bool saved_;
};

TEST(DirectoryEnsure, CreatesEveryLevelOfARelativePath) {
  TempDir dir;
  mode_t oldMask = umask(022);
  {
    WorkingDirectory cwd(dir.path());
    EXPECT_EQ(aDirectory_Ensure("x/y/z", 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists("x"));
    EXPECT_TRUE(aDirectory_Exists("x/y"));
    EXPECT_TRUE(aDirectory_Exists("x/y/z"));
    EXPECT_EQ(modeOf("x/y"), 0755u);
    EXPECT_EQ(aDirectory_Ensure("x/y/z", 0755), aErrNone);  // already there
  }
  umask(oldMask);
}

TEST(DirectoryEnsure, AbsolutePathsDoubleSeparatorsAndTrailingSeparator) {
  TempDir dir;
  EXPECT_EQ(aDirectory_Ensure((dir / "a//b/c/").c_str(), 0700), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((dir / "a/b/c").c_str()));
  EXPECT_EQ(modeOf(dir / "a/b"), 0700u);
  // Below an existing part of the tree only the missing part is made.
  EXPECT_EQ(aDirectory_Ensure((dir / "a/b/d/e").c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((dir / "a/b/d/e").c_str()));
}

TEST(DirectoryEnsure, FailsWhenAFileIsInTheWay) {
  TempDir dir;
  writeFile(dir / "file", "x");
  EXPECT_EQ(aDirectory_Ensure((dir / "file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure((dir / "file/sub/deeper").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_FALSE(aDirectory_Exists((dir / "file").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(DirectoryEnsure, FailsInADirectoryWithoutWritePermission) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(aDirectory_Ensure((dir / "locked").c_str(), 0555), aErrNone);
  std::string target = dir / "locked/a/b";
  int result = runUnprivileged([&] { return (int)aDirectory_Ensure(target.c_str(), 0755); });
  EXPECT_EQ(result, (int)aErrPermission);
  EXPECT_FALSE(aDirectory_Exists((dir / "locked/a").c_str()));
}

struct Listing {
  std::map<std::string, aDirectoryListData> entries;  // by name; filePath cleared
  int calls = 0;
  int stopAfter = -1;
};

bool collect(const aDirectoryListData* entry, void* vpRef) {
  Listing* listing = static_cast<Listing*>(vpRef);
  std::string path = entry->filePath;
  aDirectoryListData copy = *entry;
  copy.filePath = nullptr;  // valid during the call only
  listing->entries[path] = copy;
  ++listing->calls;
  return listing->stopAfter < 0 || listing->calls < listing->stopAfter;
}

TEST(DirectoryList, ReportsEveryEntryWithSizeAndKind) {
  TempDir dir;
  writeFile(dir / "one", "12345");
  writeFile(dir / "two", "");
  ASSERT_EQ(aDirectory_Ensure((dir / "sub").c_str(), 0755), aErrNone);

  Listing listing;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
  EXPECT_EQ(listing.entries.size(), 5u);  // ".", "..", one, two, sub
  ASSERT_EQ(listing.entries.count(dir / "one"), 1u);
  EXPECT_EQ(listing.entries[dir / "one"].fileSize, 5u);
  EXPECT_EQ(listing.entries[dir / "one"].isDirectory, 0u);
  EXPECT_EQ(listing.entries[dir / "two"].fileSize, 0u);
  EXPECT_EQ(listing.entries[dir / "sub"].isDirectory, 1u);
  EXPECT_EQ(listing.entries[dir / "."].isDirectory, 1u);
  EXPECT_EQ(listing.entries[dir / ".."].isDirectory, 1u);

  // A trailing separator on the directory does not double in the paths.
  Listing slash;
  EXPECT_EQ(aDirectory_List((dir.path() + "/").c_str(), collect, &slash), aErrNone);
  EXPECT_EQ(slash.entries.count(dir / "one"), 1u);
}

TEST(DirectoryList, StopsWhenTheCallbackSaysSo) {
  TempDir dir;
  for (int i = 0; i < 6; ++i) writeFile(dir / ("f" + std::to_string(i)), "x");
  Listing listing;
  listing.stopAfter = 3;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
  EXPECT_EQ(listing.calls, 3);
}

TEST(DirectoryList, MissingDirectoryIsNotFound) {
  TempDir dir;
  Listing listing;
  EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), collect, &listing), aErrNotFound);
  writeFile(dir / "plain", "x");
  EXPECT_EQ(aDirectory_List((dir / "plain").c_str(), collect, &listing), aErrNotFound);
  EXPECT_EQ(listing.calls, 0);
}

TEST(DirectoryDelete, EmptyOnly) {
  TempDir dir;
  ASSERT_EQ(aDirectory_Ensure((dir / "e").c_str(), 0755), aErrNone);
  ASSERT_EQ(aDirectory_Ensure((dir / "full/inner").c_str(), 0755), aErrNone);
  EXPECT_EQ(aDirectory_Delete((dir / "e").c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists((dir / "e").c_str()));
  EXPECT_EQ(aDirectory_Delete((dir / "full").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete((dir / "e").c_str()), aErrUnknown);
}

TEST(DirectoryDeleteTree, RemovesNestedContentButNotLinkTargets) {
  TempDir dir;
  TempDir outside;
  writeFile(outside / "keep", "precious");
  std::string tree = dir / "tree";
  ASSERT_EQ(aDirectory_Ensure((tree + "/a/b/c").c_str(), 0755), aErrNone);
  writeFile(tree + "/top", "1");
  writeFile(tree + "/a/mid", "2");
  writeFile(tree + "/a/b/c/deep", "3");
  ASSERT_EQ(symlink(outside.path().c_str(), (tree + "/a/link").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(tree.c_str()));
  EXPECT_TRUE(aFile_Exists((outside / "keep").c_str()));
  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNotFound);
}

TEST(DirectoryPlaces, WorkingDirectoryExecutableAndHome) {
  char buffer[4096];
  EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  char expected[4096];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  EXPECT_STREQ(buffer, expected);
  EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);  // does not fit
  EXPECT_EQ(aDirectory_CWD(nullptr, 10), aErrParam);

  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  std::string exe = buffer;
  EXPECT_EQ(exe.substr(exe.rfind('/') + 1), "foundation_tests");
  EXPECT_TRUE(aFile_Exists(buffer));
  char small[6];
  EXPECT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrNone);
  EXPECT_EQ(std::string(small), exe.substr(0, 5));

  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  EXPECT_GT(strlen(buffer), 0u);
  EXPECT_TRUE(aDirectory_Exists(buffer) || buffer[0] == '/');
  std::string home = buffer;
  char tiny[2];
  if (home.size() >= sizeof tiny) {
    EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrOverrun);
    EXPECT_EQ(std::string(tiny), home.substr(0, 1));
  }
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
}

}  // namespace
