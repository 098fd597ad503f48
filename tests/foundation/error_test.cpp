#include <gtest/gtest.h>

#include <string>

#include "common/aError.h"

namespace {

struct ErrorCase {
  aErr code;
  const char* name;
  const char* description;
};

// The first and last rows, a few in between, and codes past the table, which
// must fall back to the last row rather than read beyond it.
const ErrorCase kCases[] = {
    {aErrNone, "aErrNone", "Success, no error"},
    {aErrParam, "aErrParam", "Invalid parameter"},
    {aErrEOF, "aErrEOF", "End of file"},
    {aErrOverrun, "aErrOverrun", "Buffer/queue overrun"},
    {aErrTimeout, "aErrTimeout", "Timeout occurred"},
    {aErrShortCommand, "aErrShortCommand", "Tessaline command to short"},
    {aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
    {aErrUnknown, "aErrUnknown", "Unknown error"},
    {35, "aErrUnknown", "Unknown error"},
    {1000, "aErrUnknown", "Unknown error"},
    {0xFFFFFFFFu, "aErrUnknown", "Unknown error"},
};

TEST(ErrorTable, NamesAndDescriptions) {
  for (const ErrorCase& c : kCases) {
    SCOPED_TRACE(c.code);
    EXPECT_STREQ(aError_GetErrorText(c.code), c.name);
    EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description);
  }
}

TEST(ErrorTable, EveryCodeHasItsOwnName) {
  EXPECT_EQ(aErrUnknown, 34u);
  for (aErr code = 0; code <= aErrUnknown; ++code) {
    std::string name = aError_GetErrorText(code);
    EXPECT_EQ(name.rfind("aErr", 0), 0u) << code;
    for (aErr other = 0; other < code; ++other) EXPECT_NE(name, aError_GetErrorText(other));
    EXPECT_NE(std::string(aError_GetErrorDescription(code)), "");
  }
}

}  // namespace
