#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/aVersion.h"

namespace {

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t word;
};

const PackCase kPackCases[] = {
    {2, 14, 7, 0x2E000007},  // last legacy version
    {2, 15, 7, 0x2F020F07},  // first current-layout version
    {3, 0, 1, 0x2F030001},
    {0, 0, 0, 0x00000000},
    {1, 10, 255, 0x1A0000FF},
    {2, 12, 2, 0x2C000002},
    {255, 255, 255, 0x2FFFFFFF},
    {1, 0x1F, 3, 0x1F000003},  // legacy keeps the low 4 bits of minor
};

TEST(VersionPack, PacksInTheRightLayout) {
  for (const PackCase& c : kPackCases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + "." +
                 std::to_string(c.patch));
    EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.word);
  }
}

struct ParseCase {
  uint32_t word;
  bool legacy;
  uint8_t major, minor;
  uint32_t patch;
  const char* text;
};

const ParseCase kParseCases[] = {
    {0x1A012345, true, 1, 10, 74565, "1.10.74565"},
    {0x2F0A0B0C, false, 10, 11, 12, "10.11.12"},
    {0x2F020F07, false, 2, 15, 7, "2.15.7"},
    {0x2E000007, true, 2, 14, 7, "2.14.7"},
    {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
    {0x30000001, false, 0, 0, 1, "0.0.1"},  // top nibble 3: current layout
    {0xFFFFFFFF, false, 255, 255, 255, "255.255.255"},
    {0x00000000, true, 0, 0, 0, "0.0.0"},
};

TEST(VersionParse, WordsOfBothLayouts) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(c.word), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch);
    char buffer[32];
    EXPECT_EQ(aVersion_ParseString(c.word, buffer, sizeof buffer), strlen(c.text));
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST(VersionParse, PackThenParseRoundTrips) {
  for (unsigned major = 0; major < 256; ++major)
    for (unsigned minor = 0; minor < 256; minor += 3) {
      // The legacy layout only holds minor 0..15.
      if (major < 2 || (major == 2 && minor <= 14)) {
        if (minor > 15) continue;
      }
      uint32_t word = aVersion_Pack(major, minor, 201);
      EXPECT_EQ(aVersion_ParseMajor(word), major);
      EXPECT_EQ(aVersion_ParseMinor(word), minor);
      EXPECT_EQ(aVersion_ParsePatch(word), 201u);
    }
}

TEST(VersionParse, StringIsCutToTheBuffer) {
  char buffer[5];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(aVersion_ParseString(0x2F0A0B0C, buffer, sizeof buffer), 8u);
  EXPECT_STREQ(buffer, "10.1");
  EXPECT_EQ(aVersion_ParseString(0x2F0A0B0C, nullptr, 0), 8u);
  buffer[0] = 'x';
  EXPECT_EQ(aVersion_ParseString(0x2F0A0B0C, buffer, 1), 8u);
  EXPECT_EQ(buffer[0], '\0');
}

struct CompareCase {
  uint8_t v[3];
  uint8_t ref[3];
  bool atLeast;
};

const CompareCase kCompareCases[] = {
    {{2, 10, 4}, {2, 10, 4}, true},
    {{2, 9, 255}, {2, 10, 0}, false},
    {{3, 0, 0}, {2, 255, 255}, true},
    {{2, 10, 5}, {2, 10, 4}, true},
    {{2, 10, 3}, {2, 10, 4}, false},
    {{1, 255, 255}, {2, 0, 0}, false},
    {{0, 0, 0}, {0, 0, 0}, true},
    {{2, 11, 0}, {2, 10, 200}, true},
};

TEST(VersionCompare, MajorThenMinorThenPatch) {
  for (const CompareCase& c : kCompareCases) {
    SCOPED_TRACE(testing::Message() << +c.v[0] << "." << +c.v[1] << "." << +c.v[2] << " vs "
                                    << +c.ref[0] << "." << +c.ref[1] << "." << +c.ref[2]);
    EXPECT_EQ(aVersion_IsAtLeastCompare(c.v[0], c.v[1], c.v[2], c.ref[0], c.ref[1], c.ref[2]),
              c.atLeast);
  }
}

TEST(VersionLibrary, Reports2_12_2) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 2u);
  EXPECT_STREQ(aVersion_GetString(), "2.12.2");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());  // static text
  EXPECT_STREQ(aVERSION_PHASE, ".");
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 4));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(VersionFeatures, ExactNamesOnly) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));

  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);  // harmless on a cleared variable
}

}  // namespace
