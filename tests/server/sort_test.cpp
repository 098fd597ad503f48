#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "updater/UpdateServerRequest.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(SplitTessalineVersion, GivesExactlyThreePiecesOrNone) {
  struct Case {
    const char* version;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"1.2.3", {"1", "2", "3"}},
      {"1..3", {"1", "", "3"}},
      {"..", {"", "", ""}},
      {"10.200.3000", {"10", "200", "3000"}},
      {"1.2", {}},
      {"1.2.3.4", {}},
      {"", {}},
      {"123", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateServerRequest::SplitTessalineVersion(c.version), c.pieces) << c.version;
  }
}

TEST(SortBuildsByVersion, OrdersNewestVersionFirst) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> builds;
    Pairs sorted;
  };
  const Case cases[] = {
      {"numeric, not text, order",
       {{"100", "1.9.0"}, {"101", "1.10.0"}, {"102", "2.0.0"}},
       {{"102", "2.0.0"}, {"101", "1.10.0"}, {"100", "1.9.0"}}},
      {"patch decides last",
       {{"1", "2.10.3"}, {"2", "2.10.4"}, {"3", "2.9.99"}},
       {{"2", "2.10.4"}, {"1", "2.10.3"}, {"3", "2.9.99"}}},
      {"only the low 8 bits count: 1.256.0 is 1.0.0",
       {{"1", "1.256.0"}, {"2", "1.1.0"}},
       {{"2", "1.1.0"}, {"1", "1.256.0"}}},
      {"blanks and signs are read as numbers",
       {{"1", " 3.0.0"}, {"2", "+4.0.0"}},
       {{"2", "+4.0.0"}, {"1", " 3.0.0"}}},
      {"equal versions keep build order",
       {{"200", "1.0.0"}, {"100", "1.0.0"}},
       {{"100", "1.0.0"}, {"200", "1.0.0"}}},
      {"versions that are not three numbers go last, in build order",
       {{"1", "beta"}, {"2", "1.0.0"}, {"3", "1.2"}, {"4", "3.0.0"}, {"5", "1..3"}, {"6", "9999999999.0.0"}},
       {{"4", "3.0.0"}, {"2", "1.0.0"}, {"1", "beta"}, {"3", "1.2"}, {"5", "1..3"}, {"6", "9999999999.0.0"}}},
      {"empty", {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(c.builds), c.sorted) << c.name;
  }
}

}  // namespace
