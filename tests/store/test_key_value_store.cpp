// Settings files: parsing, typed getters, change tracking, saving and the
// time stamps every file carries.
#include <gtest/gtest.h>
#include <time.h>

#include <regex>

#include "tests/store/TempDir.h"
#include "updater/KeyValueStore.h"

namespace {

// ctime form without the newline: "Tue Dec  9 12:22:01 2025".
const std::regex kTimeStamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

std::map<std::string, std::string> LoadText(const TempDir& dir, const std::string& text) {
  std::string path = dir / "settings";
  WriteText(path, text);
  KeyValueStore store;
  EXPECT_EQ(aErrNone, store.Load(path.c_str()));
  EXPECT_FALSE(store.Modified());
  return store.Values();
}

}  // namespace

TEST(KeyValueStoreParse, LinesToEntries) {
  using Map = std::map<std::string, std::string>;
  struct Case {
    const char* name;
    std::string text;
    Map expected;
  } cases[] = {
      {"comment, blanks, inner equals, short line", "# note\nA = 1\nB=x=y \nZ\n", {{"A", "1"}, {"B", "x=y"}}},
      {"hash after a blank is a key", " #X=1\n", {{"#X", "1"}}},
      {"later value wins", "K=1\nK=2\n", {{"K", "2"}}},
      {"empty value", "LATEST_DOWNLOAD=\n", {{"LATEST_DOWNLOAD", ""}}},
      {"tabs and carriage return trimmed", "\tKEY\t=\t v a l \r\n", {{"KEY", "v a l"}}},
      {"no equals sign is not an entry", "JUSTTEXT\nA=1\n", {{"A", "1"}}},
      {"empty key is not an entry", "=value\nA=1\n", {{"A", "1"}}},
      {"last line without newline", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
      {"two-character line ignored", "B=1\nA=", {{"B", "1"}}},
      {"line too long ends reading", "A=1\nL=" + std::string(3000, 'x') + "\nB=2\n", {{"A", "1"}}},
      {"2047 characters with newline still read", "L=" + std::string(2044, 'x') + "\nB=2\n",
       {{"B", "2"}, {"L", std::string(2044, 'x')}}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, LoadText(dir, c.text)) << c.name;
  }
}

TEST(KeyValueStoreParse, KeysInByteOrder) {
  TempDir dir;
  auto values = LoadText(dir, "b=1\nB=2\na=3\n\xc3\xa9=4\n");
  std::vector<std::string> keys;
  for (const auto& e : values) keys.push_back(e.first);
  EXPECT_EQ((std::vector<std::string>{"B", "a", "b", "\xc3\xa9"}), keys);
}

TEST(KeyValueStoreGetters, Conversions) {
  TempDir dir;
  std::string path = dir / "s";
  WriteText(path, "N=12\nNEG= -5x\nH1=0x1F\nH2=1f\nHBIG=1FFFFFFFF\nB2=2\nBYES=yes\nBTRUE=true\nD=2.5\nE=\nT=hello\n");
  KeyValueStore s(path.c_str());
  EXPECT_EQ(12, s.GetInt("N", 7));
  EXPECT_EQ(-5, s.GetInt("NEG", 7));
  EXPECT_EQ(7, s.GetInt("M", 7));
  EXPECT_EQ(7, s.GetInt("E", 7));
  EXPECT_EQ(0, s.GetInt("T", 7));
  EXPECT_EQ(31u, s.GetHex("H1", 0));
  EXPECT_EQ(31u, s.GetHex("H2", 0));
  EXPECT_EQ(0xFFFFFFFFu, s.GetHex("HBIG", 0));
  EXPECT_EQ(9u, s.GetHex("NOHEX", 9));
  EXPECT_TRUE(s.GetBOOL("B2", false));
  EXPECT_FALSE(s.GetBOOL("BYES", true));
  EXPECT_FALSE(s.GetBOOL("BTRUE", true));
  EXPECT_TRUE(s.GetBOOL("NOBOOL", true));
  EXPECT_DOUBLE_EQ(2.5, s.GetDouble("D", 0));
  EXPECT_DOUBLE_EQ(1.5, s.GetDouble("NODOUBLE", 1.5));
  EXPECT_EQ("hello", s.GetString("T", "fb"));
  EXPECT_EQ("", s.GetString("E", "fb"));
  EXPECT_EQ("fb", s.GetString("ABSENT", "fb"));
  EXPECT_EQ("", s.GetString("ABSENT", nullptr));
  EXPECT_EQ(nullptr, s["ABSENT"]);
  EXPECT_STREQ("hello", s["T"]);
  // Numeric getters add absent keys, empty and unmarked; the string getters do not.
  EXPECT_STREQ("", s["M"]);
  EXPECT_STREQ("", s["NOBOOL"]);
  EXPECT_FALSE(s.Modified());
}

TEST(KeyValueStoreSave, NumericLookupAddsEmptyLineOnSave) {
  TempDir dir;
  std::string path = dir / "s";
  WriteText(path, "N=12\n");
  KeyValueStore s(path.c_str());
  EXPECT_EQ(12, s.GetInt("N", 0));
  EXPECT_EQ(7, s.GetInt("M", 7));
  s.Save();
  // Nothing changed through a setter: no UPDATED_TIME.
  EXPECT_EQ("M=\nN=12\n", ReadText(path));
}

TEST(KeyValueStoreSetters, ChangeTrackingAndFormats) {
  KeyValueStore s;
  EXPECT_FALSE(s.Modified());
  EXPECT_TRUE(s.Add("I", -42));
  EXPECT_TRUE(s.Modified());
  EXPECT_TRUE(s.Add("D", 1.25));
  EXPECT_TRUE(s.AddHex("H", 0x1A2Bu));
  std::string text = "value";
  EXPECT_TRUE(s.Add("S", text));
  EXPECT_TRUE(s.Add("C", "chars"));
  EXPECT_STREQ("-42", s["I"]);
  EXPECT_STREQ("1.250000", s["D"]);
  EXPECT_STREQ("0x00001A2B", s["H"]);
  EXPECT_STREQ("value", s["S"]);
  EXPECT_STREQ("chars", s["C"]);
  EXPECT_FALSE(s.Add(nullptr, "x"));

  TempDir dir;
  std::string path = dir / "s";
  s.Save(path.c_str());
  EXPECT_FALSE(s.Modified());
  // The same text again is no change; a different one is.
  s.Add("S", "value");
  s.Add("I", -42);
  EXPECT_FALSE(s.Modified());
  s.Add("S", "other");
  EXPECT_TRUE(s.Modified());
}

TEST(KeyValueStoreSetters, MergeAndClear) {
  KeyValueStore a, b;
  a.Add("X", "1");
  a.Add("Y", "1");
  b.Add("Y", "2");
  b.Add("Z", "3");
  TempDir dir;
  a.Save((dir / "a").c_str());
  EXPECT_TRUE(a.Add(b));
  EXPECT_TRUE(a.Modified());
  EXPECT_STREQ("1", a["X"]);
  EXPECT_STREQ("2", a["Y"]);
  EXPECT_STREQ("3", a["Z"]);
  KeyValueStore empty;
  a.Save();
  a.Add(empty);
  EXPECT_FALSE(a.Modified());
  KeyValueStore copy(a);
  EXPECT_EQ(a.Values(), copy.Values());
  EXPECT_EQ(a.Path(), copy.Path());
  EXPECT_TRUE(a.Clear());
  EXPECT_TRUE(a.Values().empty());
  EXPECT_TRUE(a.Modified());
  EXPECT_EQ(4u, copy.Values().size());  // X, Y, Z and UPDATED_TIME
}

TEST(KeyValueStoreSave, WritesSortedEntriesAndUpdateTime) {
  TempDir dir;
  std::string path = dir / "s";
  WriteText(path, "# comment\nB=2\nA=1\n");
  KeyValueStore s(path.c_str());
  s.Add("C", "3");
  s.Save();
  std::string text = ReadText(path);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, std::regex("A=1\nB=2\nC=3\nUPDATED_TIME=(.*)\n"))) << text;
  EXPECT_TRUE(std::regex_match(m[1].str(), kTimeStamp)) << m[1];
  // Reloading gives the same entries; the comment is gone.
  KeyValueStore again(path.c_str());
  EXPECT_EQ(s.Values(), again.Values());
}

TEST(KeyValueStoreLoad, MissingFileIsCreatedWithTimeStamps) {
  TempDir dir;
  std::string path = dir / ".settings";
  KeyValueStore s;
  EXPECT_EQ(aErrParam, s.Load(path.c_str()));
  EXPECT_FALSE(s.Modified());
  EXPECT_EQ(path, s.Path());
  std::string text = ReadText(path);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, std::regex("CREATED_TIME=(.*)\nUPDATED_TIME=(.*)\n"))) << text;
  EXPECT_TRUE(std::regex_match(m[1].str(), kTimeStamp)) << m[1];
  EXPECT_TRUE(std::regex_match(m[2].str(), kTimeStamp)) << m[2];
  EXPECT_EQ(24u, m[1].str().size());
  EXPECT_EQ(2u, s.Values().size());
}

TEST(KeyValueStoreLoad, MissingDirectoryCreatesNothing) {
  TempDir dir;
  std::string path = dir / "nodir/.settings";
  KeyValueStore s(path.c_str());
  EXPECT_EQ(nullptr, s["UNKNOWN"]);
  EXPECT_NE(nullptr, s["CREATED_TIME"]);
  EXPECT_TRUE(ListNames(dir.path()).empty());
}

TEST(KeyValueStoreLoad, UnreadableExistingFileIsNotReplaced) {
  // A settings path that exists but cannot be opened (here a symbolic link
  // loop) must not be overwritten with fresh time stamps.
  TempDir dir;
  std::string path = dir / ".settings";
  ASSERT_EQ(0, symlink(".settings", path.c_str()));
  KeyValueStore s;
  EXPECT_EQ(aErrParam, s.Load(path.c_str()));
  char target[64] = {0};
  ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(".settings", target);
}

TEST(KeyValueStoreSave, DefaultFileNameWhenNoPath) {
  TempDir dir;
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  KeyValueStore s;
  s.Add("A", "1");
  s.Save();
  EXPECT_EQ(".settings", s.Path());
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ(0u, ReadText(dir / ".settings").find("A=1\nUPDATED_TIME="));
}

TEST(KeyValueStoreSave, FailedSaveKeepsPreviousFileAndChangeFlag) {
  TempDir dir;
  std::string path = dir / ".settings";
  WriteText(path, "LATEST_DOWNLOAD=100.bird\n");
  KeyValueStore s(path.c_str());
  s.Add("LATEST_DOWNLOAD", "101.bird");
  s.Add("NOTES", std::string(10000, 'n'));
  {
    FileSizeLimit limit(1024);
    s.Save();
  }
  EXPECT_TRUE(s.Modified());
  EXPECT_EQ("LATEST_DOWNLOAD=100.bird\n", ReadText(path));
  EXPECT_EQ(std::vector<std::string>{".settings"}, ListNames(dir.path()));
  // Once writing works again, the next save writes everything.
  s.Save();
  EXPECT_FALSE(s.Modified());
  KeyValueStore again(path.c_str());
  EXPECT_STREQ("101.bird", again["LATEST_DOWNLOAD"]);
}

TEST(KeyValueStoreTime, StampHasCtimeForm) {
  std::string stamp = KeyValueStore::TimeStamp();
  EXPECT_TRUE(std::regex_match(stamp, kTimeStamp)) << stamp;
  time_t now = time(nullptr);
  char buffer[64];
  ctime_r(&now, buffer);
  // Same year as the C library's own text.
  EXPECT_EQ(std::string(buffer + 20, 4), stamp.substr(20, 4));
}
