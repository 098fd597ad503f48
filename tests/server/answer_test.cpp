// Answer bodies of the update server and what the parsers read from them.
#include "updater/UpdateServerAnswer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(AnswerAccepted, FirstLineMustBeginWithOk) {
  struct Case {
    const char* body;
    bool accepted;
  };
  const Case cases[] = {
      {"ok\n", true},
      {"ok", true},
      {"okay\n1\n", true},  // only the first two characters count
      {"ok extra words\n", true},
      {"\n\nok\n", true},  // empty lines are skipped
      {"ok\r\n", true},
      {"", false},
      {"\n\n", false},
      {"error\n", false},
      {"error unknown device\nok\n", false},
      {"OK\n", false},
      {" ok\n", false},
      {"o\nk\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(UpdateServerAnswer::Accepted(c.body), c.accepted) << "[" << c.body << "]";
}

TEST(AnswerAccepted, StopsAtAZeroByte) {
  const char body[] = "\0ok\n";
  EXPECT_FALSE(UpdateServerAnswer::Accepted(body));
}

TEST(AnswerQueryBuild, ReadsBuildAndVersionLines) {
  struct Case {
    const char* body;
    const char* build;
    const char* version;
  };
  const Case cases[] = {
      {"ok\n1234\n2.10.3\n", "1234", "2.10.3"},
      {"ok\n1234\n2.10.3", "1234", "2.10.3"},
      {"ok\n\n1234\n\n\n2.10.3\n", "1234", "2.10.3"},
      // The build keeps a carriage return, the version ends at one.
      {"ok\r\n1234\r\n2.10.3\r\n", "1234\r", "2.10.3"},
      {"ok\n1234\n", "1234", "old-version"},
      {"ok\n", "old-build", "old-version"},
      {"ok\n1234\n2.10.3\nextra\n", "1234", "2.10.3"},
  };
  for (const Case& c : cases) {
    std::string build = "old-build";
    std::string version = "old-version";
    UpdateServerAnswer::ParseQueryBuild(c.body, build, version);
    EXPECT_EQ(build, c.build) << "[" << c.body << "]";
    EXPECT_EQ(version, c.version) << "[" << c.body << "]";
  }
}

TEST(AnswerGetBuild, TakesLineTwoOrNothing) {
  struct Case {
    const char* body;
    const char* text;
  };
  const Case cases[] = {
      {"ok\nYmlyZA==\n", "YmlyZA=="},
      {"ok\nYmlyZA==", "YmlyZA=="},
      {"ok\nYmlyZA==\r\n", "YmlyZA==\r"},  // the carriage return stays
      {"ok\n\n\nYmlyZA==\nsecond\n", "YmlyZA=="},
      {"ok\n", ""},  // emptied even though nothing follows
      {"ok", ""},
  };
  for (const Case& c : cases) {
    std::string text = "previous payload";
    UpdateServerAnswer::ParseGetBuild(c.body, text);
    EXPECT_EQ(text, c.text) << "[" << c.body << "]";
  }
}

TEST(AnswerBuildList, ReadsEntriesFirstOneWins) {
  using Map = std::map<std::string, std::string>;
  struct Case {
    const char* body;
    Map builds;
  };
  const Case cases[] = {
      {"ok\n100;1.0.0\n101;1.1.0\n100;9.9.9\n", {{"100", "1.0.0"}, {"101", "1.1.0"}}},
      {"ok\n", {}},
      {"ok\r\n100;1.0.0\r\n", {{"100", "1.0.0"}}},
      {"ok\n100\n", {{"100", ""}}},                // no version
      {"ok\n12\n100;1.0.0\n", {{"100", "1.0.0"}}},  // lines under 3 characters skipped
      {"ok\n;;;\n", {}},                            // no piece at all
      {"ok\n;7.0\n", {{"7.0", ""}}},                // leading separators are skipped
      {"ok\n100;;1.0.0;x\n", {{"100", "1.0.0"}}},   // runs of separators count as one
      {"ok\n100;1.0.0\n\n\n101;2.0.0\n", {{"100", "1.0.0"}, {"101", "2.0.0"}}},
  };
  for (const Case& c : cases) {
    Map builds;
    UpdateServerAnswer::ParseBuildList(c.body, builds);
    EXPECT_EQ(builds, c.builds) << "[" << c.body << "]";
  }
}

TEST(AnswerRecoveryInfo, ReadsSerialInHexAndBuildWithPrefixRule) {
  struct Case {
    const char* body;
    unsigned int serial;
    unsigned int build;
  };
  const Case cases[] = {
      {"ok\n0A1B2C3D\n1234\n", 0x0A1B2C3D, 1234},
      {"ok\n0x0A1B2C3D\n0x10\n", 0x0A1B2C3D, 16},
      {"ok\nDEADDEAD\n0100\n", 0xDEADDEAD, 64},  // leading 0: octal
      {"ok\n0a1b2c3d\n99 trailing\n", 0x0A1B2C3D, 99},
      {"ok\nZZ\nxyz\n", 0, 0},  // nothing convertible reads as 0
      {"ok\n0A1B2C3D\n", 0x0A1B2C3D, 7777},
      {"ok\n", 5555, 7777},
  };
  for (const Case& c : cases) {
    unsigned int serial = 5555;
    unsigned int build = 7777;
    UpdateServerAnswer::ParseRecoveryInfo(c.body, &serial, &build);
    EXPECT_EQ(serial, c.serial) << "[" << c.body << "]";
    EXPECT_EQ(build, c.build) << "[" << c.body << "]";
  }
}

TEST(AnswerDeviceJWT, NeedsThreePartsOfTwoCharactersOrMore) {
  struct Case {
    const char* body;
    bool ok;
    const char* token;
  };
  const Case cases[] = {
      {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
      {"ok\neyJhbGciOiJIUzI1NiJ9.eyJzbiI6IjEifQ.c2ln\r\n", true, "eyJhbGciOiJIUzI1NiJ9.eyJzbiI6IjEifQ.c2ln"},
      {"ok\n..aa..bb.cc\n", true, "aa.bb.cc"},  // runs of leading dots count as one
      {"ok\naa.bb.cc.dd\n", true, "aa.bb.cc.dd"},  // the signature is the rest
      {"ok\na.bb.cc\n", false, "old"},
      {"ok\naa.b.cc\n", false, "old"},
      {"ok\naa.bb.c\n", false, "old"},
      {"ok\naa.bb\n", false, "old"},
      {"ok\naa\n", false, "old"},
      {"ok\nab\n", false, "old"},  // under 3 characters
      {"ok\n", false, "old"},
  };
  for (const Case& c : cases) {
    std::string token = "old";
    EXPECT_EQ(UpdateServerAnswer::ParseDeviceJWT(c.body, token), c.ok) << "[" << c.body << "]";
    EXPECT_EQ(token, c.token) << "[" << c.body << "]";
  }
}

}  // namespace
