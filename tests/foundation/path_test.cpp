#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/aDirectory.h"

namespace {

#define END ((const char*)nullptr)

TEST(BuildPath, AlwaysInsertsTheSeparator) {
  EXPECT_EQ(BuildPath("a", "b", "c", END), "a/b/c");
  EXPECT_EQ(BuildPath("a/", "b", END), "a//b");
  EXPECT_EQ(BuildPath("a", "/b", END), "a//b");
  EXPECT_EQ(BuildPath("/home/u", ".corvanta", "updater", END), "/home/u/.corvanta/updater");
  EXPECT_EQ(BuildPath("only", END), "only");
  EXPECT_EQ(BuildPath("", "x", END), "/x");
  EXPECT_EQ(BuildPath(END, END), "");
  std::string longPart(5000, 'p');
  EXPECT_EQ(BuildPath(longPart.c_str(), longPart.c_str(), END).size(), 10001u);
}

struct JoinCase {
  const char* name;
  size_t size;
  const char* parts[4];  // up to three components, null-terminated
  aErr result;
  const char* text;
};

const JoinCase kJoinCases[] = {
    {"three parts", 64, {"a", "b", "c", END}, aErrNone, "a/b/c"},
    {"first ends with separator", 64, {"a/", "b", END}, aErrNone, "a/b"},
    {"second starts with separator", 64, {"a", "/b", END}, aErrNone, "a/b"},
    {"both have one", 64, {"a/", "/b", END}, aErrNone, "a//b"},
    {"absolute", 64, {"/", "tmp", "x", END}, aErrNone, "/tmp/x"},
    {"one part", 64, {"abc", END}, aErrNone, "abc"},
    {"empty first part", 64, {"", "b", END}, aErrNone, "b"},
    {"empty later part", 64, {"a", "", "c", END}, aErrNone, "a/c"},
    {"first part too long", 4, {"abc", END}, aErrOverrun, ""},
    {"first part just fits", 5, {"abc", END}, aErrNone, "abc"},
    {"fits", 6, {"ab", "c", END}, aErrNone, "ab/c"},
    {"one short", 5, {"ab", "c", END}, aErrOverrun, "ab/"},
    {"later part too long", 8, {"ab", "cd", "efgh", END}, aErrOverrun, "ab/cd/"},
};

TEST(DirectoryBuildPath, JoinsWithinTheBuffer) {
  for (const JoinCase& c : kJoinCases) {
    SCOPED_TRACE(c.name);
    char buffer[80];  // larger than any case's size, to watch the byte after it
    memset(buffer, 'x', sizeof buffer);
    aErr e = aDirectory_BuildPath(buffer, c.size, c.parts[0], c.parts[1], c.parts[2], c.parts[3],
                                  END);
    EXPECT_EQ(e, c.result);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_LT(strlen(buffer), c.size);
    EXPECT_EQ(buffer[c.size], 'x');  // nothing written past the buffer
  }
}

TEST(DirectoryBuildPath, AtMostTenComponents) {
  char buffer[128];
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "0", "1", "2", "3", "4", "5", "6", "7",
                                 "8", "9", END),
            aErrNone);
  EXPECT_STREQ(buffer, "0/1/2/3/4/5/6/7/8/9");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "0", "1", "2", "3", "4", "5", "6", "7",
                                 "8", "9", "10", END),
            aErrParam);
  EXPECT_STREQ(buffer, "");
}

TEST(DirectoryBuildPath, RefusesBadBuffers) {
  char buffer[32] = "dir";
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", END), aErrParam);
  strcpy(buffer, "dir");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", buffer, END), aErrParam);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", END), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, 0, "a", END), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, END, END), aErrParam);
}

TEST(DirectoryJoinPath, TwoComponents) {
  char buffer[16];
  EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "dir", "file"), aErrNone);
  EXPECT_STREQ(buffer, "dir/file");
  EXPECT_EQ(aDirectory_JoinPath(buffer, 8, "dir", "file"), aErrOverrun);
  EXPECT_STREQ(aDIR_PATH_SEP, "/");
}

}  // namespace
