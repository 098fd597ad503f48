#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <string>

#include "common/aDefs.h"

namespace {

TEST(ModelTable, KnownCodesHaveDistinctShortNames) {
  const uint32_t known[] = {4, 5, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
  std::set<std::string> names;
  for (uint32_t code : known) {
    SCOPED_TRACE(code);
    const char* name = aDefs_GetModelName(code);
    ASSERT_NE(name, nullptr);
    EXPECT_STRNE(name, "Unknown");
    EXPECT_GT(strlen(name), 0u);
    EXPECT_LE(strlen(name), (size_t)aDEFS_MAXMODELNAMELEN);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 17u);
}

TEST(ModelTable, OtherCodesAreUnknown) {
  const uint32_t unknown[] = {0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 28, 29, 255, 0x10004, 0xFFFFFFFF};
  for (uint32_t code : unknown) EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
}

}  // namespace
