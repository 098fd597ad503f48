#include "updater/base64.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// Decodes text; returns false when base64_decode gave null.
bool Decode(const std::string& text, std::string& out) {
  unsigned long length = 12345;
  std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(text.data(), text.size(), &length));
  if (!bytes) return false;
  EXPECT_EQ(bytes.get()[length], 0) << "decoded bytes are followed by a zero byte";
  out.assign(reinterpret_cast<const char*>(bytes.get()), length);
  return true;
}

std::string Encode(const std::string& data) {
  unsigned long length = 12345;
  std::unique_ptr<char, FreeDeleter> text(base64_encode(data.data(), data.size(), &length));
  EXPECT_TRUE(text);
  if (!text) return "";
  EXPECT_EQ(strlen(text.get()), length);
  return std::string(text.get(), length);
}

struct Vector {
  const char* data;
  const char* text;
};

// The test vectors of RFC 4648, section 10, and a few with high bytes.
const Vector kVectors[] = {
    {"f", "Zg=="},           {"fo", "Zm8="},           {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},    {"fooba", "Zm9vYmE="},    {"foobar", "Zm9vYmFy"},
    {"Ma", "TWE="},          {"\xff\xfe\xfd", "//79"}, {"\xfb\xef\xbe", "++++"},
};

TEST(Base64, DecodesAndEncodesTheStandardVectors) {
  for (const Vector& v : kVectors) {
    std::string decoded;
    ASSERT_TRUE(Decode(v.text, decoded)) << v.text;
    EXPECT_EQ(decoded, v.data) << v.text;
    EXPECT_EQ(Encode(v.data), v.text) << v.data;
  }
}

TEST(Base64, EncodesEmptyDataAsEmptyText) { EXPECT_EQ(Encode(""), ""); }

TEST(Base64, KeepsZeroBytesInsideTheData) {
  std::string data("a\0b\0", 4);
  std::string decoded;
  ASSERT_TRUE(Decode(Encode(data), decoded));
  EXPECT_EQ(decoded, data);
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
  std::string data;
  for (int length = 0; length < 300; length++) {
    std::string decoded;
    std::string text = Encode(data);
    ASSERT_EQ(text.size(), (data.size() + 2) / 3 * 4);
    if (!data.empty()) {
      ASSERT_TRUE(Decode(text, decoded)) << length;
      ASSERT_EQ(decoded, data) << length;
    }
    data.push_back(static_cast<char>(length * 37 + 11));
  }
}

TEST(Base64, RefusesTextItCannotDecode) {
  const char* bad[] = {
      "TWE=TW",    // 6 characters: not a multiple of 4
      "Zm9vY",     // 5 characters
      "",          // nothing to decode
      "Zm9*",      // outside the alphabet
      "Zm9v\nYmFy",// a line feed inside (9 characters)
      "Zm9v YmE",  // a blank inside
      "Zm-_",      // the URL-safe alphabet is not this one
  };
  for (const char* text : bad) {
    std::string decoded;
    EXPECT_FALSE(Decode(text, decoded)) << "[" << text << "]";
  }
}

TEST(Base64, PaddingInsideTheTextCountsAsZero) {
  std::string decoded;
  // "A=AA": four zero sextets, so three zero bytes.
  ASSERT_TRUE(Decode("A=AA", decoded));
  EXPECT_EQ(decoded, std::string(3, '\0'));
  // "====" keeps one byte (two "=" at the end shorten the output by two).
  ASSERT_TRUE(Decode("====", decoded));
  EXPECT_EQ(decoded, std::string(1, '\0'));
}

TEST(Base64, RejectsNullArguments) {
  unsigned long length = 0;
  EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
  EXPECT_EQ(base64_decode("TWE=", 4, nullptr), nullptr);
  EXPECT_EQ(base64_encode(nullptr, 3, &length), nullptr);
}

}  // namespace
