// The updater executable end to end: for each command line, the exact text
// on standard output and standard error and the exit status. Every run that
// reaches the store uses -i with a scratch directory, never $HOME.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "common/aDirectory.h"
#include "tests/app/run_process.h"

namespace {

std::string read_data(const char* name) {
  std::ifstream in(std::string(UPDATER_APP_TEST_DATA) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kVersion = "Updater (Version: 2.12.2 Mar 13 2026)\n";
const std::string kCopyright = "Copyright (c) 2026 Corvanta. All rights reserved.\n";

std::string brief() { return read_data("usage_brief.txt"); }
std::string full() {
  return read_data("usage_brief.txt") + read_data("usage_parameters.txt") + read_data("usage_samples.txt");
}
std::string full_extended() {
  return read_data("usage_brief.txt") + read_data("usage_parameters.txt") + read_data("usage_extended.txt") +
         read_data("usage_samples.txt");
}

// Replaces every {DIR} (the scratch directory) and {BIN} (the executable).
std::string expand(std::string text, const std::string& dir) {
  const std::pair<std::string, std::string> keys[] = {{"{DIR}", dir}, {"{BIN}", UPDATER_BINARY}};
  for (const auto& key : keys) {
    for (size_t at = text.find(key.first); at != std::string::npos; at = text.find(key.first, at)) {
      text.replace(at, key.first.size(), key.second);
      at += key.second.size();
    }
  }
  return text;
}

class CommandLineTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/updater-app-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) aDirectory_DeleteTree(dir_.c_str());
  }

  ProcessResult run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {UPDATER_BINARY};
    for (const std::string& a : args) argv.push_back(expand(a, dir_));
    return RunProcess(argv);
  }

  std::string dir_;
};

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

// Test names show the case name rather than its bytes.
void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }


std::vector<CliCase> cli_cases() {
  const std::string multiple =
      "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n";
  const std::string noDevice = "Must specify the specific device to be updated\n";
  const std::string noPort = "Must specify the serial port used for connecting\n";
  return {
      {"NoArguments", {}, kVersion + kCopyright, brief(), 0},
      {"NoCommandBriefUsage", {"-i", "{DIR}", "-d", "40F5849A"}, kVersion + kCopyright, brief(), 0},
      {"Help", {"-h"}, kVersion + kCopyright, full(), 0},
      {"HelpUpper", {"-H"}, kVersion + kCopyright, full(), 0},
      {"HelpLong", {"--help"}, kVersion + kCopyright, full(), 0},
      {"HelpAbbreviated", {"--he"}, kVersion + kCopyright, full(), 0},
      {"LogMaskBeforeHelpAddsExtended", {"-X", "1", "-h"}, kVersion + kCopyright, full_extended(), 0},
      {"LogMaskAfterHelpIgnored", {"-h", "-X", "1"}, kVersion + kCopyright, full(), 0},
      {"HelpIgnoresLaterServerChoices", {"-h", "--http", "--https"}, kVersion + kCopyright, full(), 0},
      {"HelpAfterCommand", {"-D", "-h"}, kVersion + kCopyright, full(), 0},
      {"OverrideIsNotACommand", {"-OVERRIDE"}, kVersion + kCopyright, brief(), 0},
      {"ClusterIgnored", {"-DU"}, kVersion + kCopyright, brief(), 0},
      {"HelpWithValueIgnored", {"-h=1"}, kVersion + kCopyright, brief(), 0},
      {"ZWithoutValueIgnored", {"-Z"}, kVersion + kCopyright, brief(), 0},
      // -Z counts as a command but runs nothing.
      {"ZRunsNothing", {"-Z", "5", "-i", "{DIR}"}, kVersion, "", 0},
      {"UnhandledCommand", {"-Y"}, kVersion + kCopyright, "Unhandled command: [-Y]\n" + brief(), 1},
      {"TwoServers", {"--https", "--http", "-U"}, kVersion + kCopyright, multiple + brief(), 1},
      {"SameServerTwice", {"--http", "--http", "-D"}, kVersion + kCopyright, multiple + brief(), 1},
      {"UTwice", {"-u", "a:1", "-u", "b:2", "-D"}, kVersion + kCopyright, multiple + brief(), 1},
      {"BadSerial", {"-d", "XYZ", "-U"}, kVersion + kCopyright,
       "Invalid serial number obtained from argument [XYZ]\n" + brief(), 1},
      {"BareSerialPrefix", {"-d", "0x", "-U"}, kVersion + kCopyright,
       "Invalid serial number obtained from argument []\n" + brief(), 1},
      {"BadRouter", {"-r", "nothex", "-D"}, kVersion + kCopyright,
       "Invalid router serial number obtained from argument [nothex]\n" + brief(), 1},
      {"BadTransport", {"-t", "usb", "-D"}, kVersion + kCopyright,
       "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n" + brief(), 1},
      {"EveryParseErrorReported", {"-Y", "-t", "x", "-d", "0xQ"}, kVersion + kCopyright,
       "Unhandled command: [-Y]\nInvalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER\n"
       "Invalid serial number obtained from argument [Q]\n" +
           brief(),
       1},
      // An error before the help option is still printed, and help wins.
      {"ErrorThenHelp", {"-Y", "-h"}, kVersion + kCopyright, "Unhandled command: [-Y]\n" + full(), 0},
      {"UpdateWithoutDevice", {"-U", "-i", "{DIR}"}, kVersion, noDevice, 1},
      {"UpdateOverTcpWithoutDevice", {"-U", "-t", "TCPIP", "-i", "{DIR}"}, kVersion, noDevice, 1},
      // Attached values are not read: the serial stays unset.
      {"AttachedSerialIgnored", {"-U", "-d40F5849A", "-i", "{DIR}"}, kVersion, noDevice, 1},
      // -m takes no value from an option word; -U is still read.
      {"ValueNotTakenFromOption", {"-m", "-U", "-i", "{DIR}"}, kVersion, noDevice, 1},
      // --htt is ambiguous and ignored, so only one server choice remains.
      {"AmbiguousServerIgnored", {"--htt", "--https", "-U", "-i", "{DIR}"}, kVersion, noDevice, 1},
      {"FingerprintWithoutPort", {"-N", "-i", "{DIR}"}, kVersion, noPort, 1},
      // A missing port ends the run before any later command.
      {"FingerprintWithoutPortStopsRun", {"-N", "-U", "-i", "{DIR}"}, kVersion, noPort, 1},
      {"GetWithoutDevice", {"-G", "-i", "{DIR}"}, kVersion,
       "-G must specify a specific device via -d\n--help for usage information\n", 1},
      // A missing serial ends the run before the later command.
      {"GetWithoutDeviceStopsRun", {"-G", "-U", "-i", "{DIR}"}, kVersion,
       "-G must specify a specific device via -d\n--help for usage information\n", 1},
      {"BuildsWithoutDevice", {"-B", "-i", "{DIR}"}, kVersion,
       "Error must supply a serial number for the List Builds command\n" + brief(), 1},
      {"LocalBuildsWithoutDevice", {"-L", "-i", "{DIR}"}, kVersion,
       "Error must supply a serial number for the List Local Builds command\n" + brief(), 1},
      {"TokenWithoutDevice", {"-J", "-i", "{DIR}"}, kVersion,
       "Error must supply a serial number for the Get JWT command\n" + brief(), 1},
      // Only the first of -D -U -B -L -J runs, whatever the order on the line.
      {"UpdateBeforeBuilds", {"-J", "-L", "-B", "-U", "-i", "{DIR}"}, kVersion, noDevice, 1},
      {"BuildsBeforeLocal", {"-J", "-L", "-B", "-i", "{DIR}"}, kVersion,
       "Error must supply a serial number for the List Builds command\n" + brief(), 1},
      {"LocalBeforeToken", {"-J", "-L", "-i", "{DIR}"}, kVersion,
       "Error must supply a serial number for the List Local Builds command\n" + brief(), 1},
      {"LogMaskLeftoverIsNotFatal", {"-X", "12abc", "-U", "-i", "{DIR}"}, kVersion,
       "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n" + noDevice, 1},
      {"LogShowsSerialPrefix", {"-X", "1", "-d", "0x40F5849A", "-N", "-i", "{DIR}"}, kVersion,
       "Discarding '0x' serial number prefix\n" + noPort, 1},
      {"LogShowsRouterPrefix", {"-X=0x1", "-r", "0XD272031D", "-N", "-i", "{DIR}"}, kVersion,
       "Discarding '0x' router serial number prefix\n" + noPort, 1},
      {"LogShowsParameters", {"-X", "0x10000", "-U", "-i", "{DIR}"}, kVersion,
       "\nApplication parameters:[updater]\n\t[{BIN}]\n\t[-X]\n\t[0x10000]\n\t[-U]\n\t[-i]\n\t[{DIR}]\n" + noDevice,
       1},
      {"LogInactiveForOtherPackages", {"-X", "0x20", "-d", "0x40F5849A", "-N", "-i", "{DIR}"}, kVersion, noPort, 1},
  };
}

class CommandLine : public CommandLineTest, public testing::WithParamInterface<CliCase> {};

TEST_P(CommandLine, PrintsExactTextAndStatus) {
  const CliCase& c = GetParam();
  ProcessResult r = run(c.args);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, expand(c.out, dir_));
  EXPECT_EQ(r.err, expand(c.err, dir_));
  EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Updater, CommandLine, testing::ValuesIn(cli_cases()),
                         [](const testing::TestParamInfo<CliCase>& info) { return info.param.name; });

TEST_F(CommandLineTest, StoreDirectoryIsCreatedUnderStorageDirectory) {
  ProcessResult r = run({"-N", "-i", "{DIR}/a/b"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);  // -N without a port, after the store was made
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/a/b/updater").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
}

// Runs the tool as a user without an entry in the user database, whose home
// directory therefore comes from $HOME alone (unset when home is null).
ProcessResult run_as_unknown_user(const std::vector<std::string>& args, const char* home, uid_t* uidOut) {
  uid_t uid = 54321;
  while (getpwuid(uid) != nullptr) ++uid;
  *uidOut = uid;
  std::vector<std::string> argv = {UPDATER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string homeText = home != nullptr ? home : "";
  const bool haveHome = home != nullptr;
  return RunProcess(argv, 30000, [homeText, haveHome, uid] {
    if (haveHome) {
      setenv("HOME", homeText.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    if (setgid(65534) != 0 || setuid(uid) != 0) _exit(126);
  });
}

TEST_F(CommandLineTest, StoreDefaultsToHomeDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as a user without a database entry";
  uid_t uid = 0;
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  ProcessResult r = run_as_unknown_user({"-N"}, dir_.c_str(), &uid);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);  // -N without a port, after the store was made
  EXPECT_EQ(r.err, "Must specify the serial port used for connecting\n");
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/.corvanta/updater").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, uid);
}

TEST_F(CommandLineTest, NoHomeDirectoryFails) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as a user without a database entry";
  uid_t uid = 0;
  ProcessResult r = run_as_unknown_user({"-N"}, nullptr, &uid);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, kVersion);
  EXPECT_EQ(r.err, "Could not find the home directory; name a storage directory with -i <directory>\n");
  EXPECT_EQ(r.status, 1);

  // The log names the failed call and its result code.
  r = run_as_unknown_user({"-X", "0x10000", "-N"}, nullptr, &uid);
  ASSERT_FALSE(r.timedOut);
  EXPECT_NE(r.err.find("Updater: FailedaDirectory_GetHomeDirectory()==> 3\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
}

TEST_F(CommandLineTest, StoreDirectoryThatCannotBeMadeFails) {
  const std::string file = dir_ + "/plain-file";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ProcessResult r = run({"-N", "-s", "/dev/null", "-i", "{DIR}/plain-file"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, kVersion);
  EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CommandLineTest, DiscoveryRunsInsteadOfLaterCommands) {
  // -U would complain about the missing serial; only -D runs.
  ProcessResult r = run({"-U", "-D", "-i", "{DIR}"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.err.find("Must specify the specific device"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.compare(0, kVersion.size(), kVersion), 0) << r.out;
}

}  // namespace
