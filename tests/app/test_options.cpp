// Option matching and _get_params: what each command line leaves in the
// Parameters record and which errors it reports.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/AppInfo.h"
#include "app/Log.h"
#include "app/Options.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { info.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> info;
  std::vector<std::string> errors;
};

struct MatchCase {
  const char* word;
  const char* entry;  // text of the entry expected, null for none
};

const MatchCase kMatchCases[] = {
    {"-B", "-B"},
    {"-OVERRIDE", "-OVERRIDE"},
    {"-OV", "-OVERRIDE"},
    {"-O", "-OVERRIDE"},
    {"--he", "--help"},
    {"--help", "--help"},
    // Exact match wins over being a prefix of "--https".
    {"--http", "--http"},
    {"--https", "--https"},
    {"--htt", nullptr},  // ambiguous
    {"--h", nullptr},    // ambiguous
    {"-help", nullptr},  // one hyphen, "--help" has two
    {"---help", nullptr},
    {"-DU", nullptr},  // clusters are not split
    {"-d40F5849A", nullptr},
    {"-x", nullptr},  // case-sensitive
    {"-OVERRIDEX", nullptr},
    {"-", nullptr},
    {"--", nullptr},
};

TEST(MatchOption, ExactPrefixAndAmbiguous) {
  for (const MatchCase& c : kMatchCases) {
    const OptionEntry* entry = _match_option(c.word);
    if (c.entry == nullptr) {
      EXPECT_EQ(entry, nullptr) << c.word << " matched " << (entry ? entry->text : "");
    } else {
      ASSERT_NE(entry, nullptr) << c.word;
      EXPECT_STREQ(entry->text, c.entry) << c.word;
    }
  }
}

TEST(MatchOption, TableIsComplete) {
  size_t count = 0;
  for (const OptionEntry* e = g_rgOptions; e->id != OPTION_END; ++e) {
    ++count;
    EXPECT_EQ(_match_option(e->text), e) << e->text;
  }
  EXPECT_EQ(count, 32u);
}

struct DigitsCase {
  const char* text;
  uint32_t value;
  bool accepted;  // *end moved to the end of text
};

TEST(DigitArguments, HexAndDecimal) {
  const DigitsCase hexCases[] = {
      {"40F5849A", 0x40F5849A, true}, {"40f5849a", 0x40F5849A, true}, {"", 0, true},
      {"FFFFFFFF", 0xFFFFFFFF, true}, {"0", 0, true},                 {"XYZ", 0, false},
      {"12 ", 0, false},              {"-1", 0, false},
      // Nine digits do not fit 32 bits: refused rather than wrapped into
      // another serial number.
      {"140F5849A", 0, false},
  };
  for (const DigitsCase& c : hexCases) {
    char sentinel = 0;
    char* end = &sentinel;
    EXPECT_EQ(_get_hex_arg(c.text, &end), c.value) << c.text;
    if (c.accepted) {
      EXPECT_EQ(end, c.text + strlen(c.text)) << c.text;
    } else {
      EXPECT_EQ(end, &sentinel) << c.text;
    }
  }
  const DigitsCase intCases[] = {
      {"007", 7, true},         {"115200", 115200, true},   {"", 0, true},
      {"9600x", 0, false},      {"4294967295", 0xFFFFFFFF, true},
      {"4294967296", 0, false}, {"1A", 0, false},
  };
  for (const DigitsCase& c : intCases) {
    char sentinel = 0;
    char* end = &sentinel;
    EXPECT_EQ(_get_int_arg(c.text, &end), c.value) << c.text;
    if (c.accepted) {
      EXPECT_EQ(end, c.text + strlen(c.text)) << c.text;
    } else {
      EXPECT_EQ(end, &sentinel) << c.text;
    }
  }
  // Without an end pointer nothing is converted.
  EXPECT_EQ(_get_hex_arg("40F5849A", nullptr), 0u);
  EXPECT_EQ(_get_int_arg("42", nullptr), 0u);
}

// One command line, the changes it makes to the defaults, and the errors.
struct ParseCase {
  const char* name;
  std::vector<std::string> args;  // after the program name
  std::function<void(Parameters&)> expect;
  int result;
  std::vector<std::string> errors;
};

// Test names show the case name rather than its bytes.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }


void none(Parameters&) {}

const std::vector<ParseCase>& parse_cases() {
  static const std::vector<ParseCase> cases = {
      {"Defaults", {}, none, 0, {}},
      {"NonOptionWordsSkipped", {"hello", "40F5849A"}, none, 0, {}},
      {"SerialWithPrefix", {"-d", "0x40F5849A"}, [](Parameters& p) { p.deviceSerial = 0x40F5849A; }, 0, {}},
      {"SerialWithUpperPrefix", {"-d", "0X40F5849A"}, [](Parameters& p) { p.deviceSerial = 0x40F5849A; }, 0, {}},
      {"SerialLowerCase", {"-d", "40f5849a"}, [](Parameters& p) { p.deviceSerial = 0x40F5849A; }, 0, {}},
      {"SerialAfterEquals", {"-d=40F5849A"}, [](Parameters& p) { p.deviceSerial = 0x40F5849A; }, 0, {}},
      {"SerialAttachedIgnored", {"-d40F5849A"}, none, 0, {}},
      {"SerialBarePrefix", {"-d", "0x"}, none, 1, {"Invalid serial number obtained from argument []"}},
      {"SerialNotHex", {"-d", "XYZ"}, none, 1, {"Invalid serial number obtained from argument [XYZ]"}},
      {"SerialZero", {"-d", "00000000"}, none, 1, {"Invalid serial number obtained from argument [00000000]"}},
      {"SerialTooLong", {"-d", "140F5849A"}, none, 1, {"Invalid serial number obtained from argument [140F5849A]"}},
      {"SerialEmptyAfterEquals", {"-d="}, none, 1, {"Invalid serial number obtained from argument []"}},
      {"RouterSerial", {"-r", "0xD272031D"}, [](Parameters& p) { p.routerSerial = 0xD272031D; }, 0, {}},
      {"RouterSerialInvalid", {"-r", "0xZZ"}, none, 1, {"Invalid router serial number obtained from argument [ZZ]"}},
      {"TransportTcpip", {"-t", "TCPIP"},
       [](Parameters& p) {
         p.transport = TRANSPORT_TCPIP;
         p.transportGiven = true;
       },
       0, {}},
      {"TransportUsb", {"-t", "USB"}, [](Parameters& p) { p.transportGiven = true; }, 0, {}},
      {"TransportRecover", {"-t=RECOVER"},
       [](Parameters& p) {
         p.transport = TRANSPORT_RECOVER;
         p.transportGiven = true;
       },
       0, {}},
      {"TransportIsCaseSensitive", {"-t", "usb"},
       [](Parameters& p) {
         p.transport = TRANSPORT_INVALID;
         p.transportGiven = true;
       },
       1, {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"}},
      {"BaudRate", {"-o", "9600"}, [](Parameters& p) { p.baudRate = 9600; }, 0, {}},
      {"BaudRateNotDigitsGivesZero", {"-o", "9600x"}, [](Parameters& p) { p.baudRate = 0; }, 0, {}},
      {"BuildNumberNormalised", {"-b", "007"}, [](Parameters& p) { p.buildNumber = "7"; }, 0, {}},
      {"BuildNumberNotDigits", {"-b", "latest"}, [](Parameters& p) { p.buildNumber = "0"; }, 0, {}},
      {"UeiBytesOff", {"-m", "0"}, [](Parameters& p) { p.useUEIBytes = false; }, 0, {}},
      {"UeiBytesFalse", {"-m", "false"}, [](Parameters& p) { p.useUEIBytes = false; }, 0, {}},
      {"UeiBytesTrueWord", {"-m", "trueish"}, none, 0, {}},
      {"UeiBytesOne", {"-m=1"}, none, 0, {}},
      // -m without a value is dropped and -U is read as an option.
      {"ValueMissingNextOptionRead", {"-m", "-U"}, [](Parameters& p) { p.commands.Set(CMD_UPDATE); }, 0, {}},
      {"ValueMissingAtEnd", {"-X"}, none, 0, {}},
      {"HttpServer", {"--http"}, none, 0, {}},
      {"HttpsServer", {"--https"}, [](Parameters& p) { p.serverUrl = kDefaultHttpsUrl; }, 0, {}},
      {"ServerFromU", {"-u", "http://127.0.0.1:8080/cgi/u"},
       [](Parameters& p) { p.serverUrl = "http://127.0.0.1:8080/cgi/u"; }, 0, {}},
      {"AmbiguousServerIgnored", {"--htt"}, none, 0, {}},
      {"TwoServers", {"--https", "--http"}, none, 1,
       {"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."}},
      {"SameServerTwice", {"-u", "a", "-u", "b"}, [](Parameters& p) { p.serverUrl = "b"; }, 1,
       {"Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."}},
      {"Override", {"-OV"}, [](Parameters& p) { p.overrideModelCheck = true; }, 0, {}},
      {"UnhandledCommand", {"-Y"}, none, 1, {"Unhandled command: [-Y]"}},
      {"AllCommands", {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x"},
       [](Parameters& p) {
         for (uint32_t bit = 1; bit <= 0x200; bit <<= 1) p.commands.Set(bit);
       },
       0, {}},
      {"CommandWithValueIgnored", {"-D=1"}, none, 0, {}},
      {"ClusterIgnored", {"-DU"}, none, 0, {}},
      {"StoredOnlyValues",
       {"-i", "/tmp/store", "-f", "fw.bird", "-s", "/dev/ttyS0", "-l", "note", "-k", "x.log", "-e", "-n"},
       [](Parameters& p) {
         p.storageDirectory = "/tmp/store";
         p.birdFile = "fw.bird";
         p.serialPort = "/dev/ttyS0";
         p.historyMessage = "note";
         p.logFileName = "x.log";
         p.echoRecovery = true;
         p.nFlag = true;
       },
       0, {}},
      {"HelpStopsParsing", {"-D", "--he", "--http", "--https", "-Y"},
       [](Parameters& p) {
         p.commands.Set(CMD_DISCOVER);
         p.commands.Set(CMD_HELP);
         p.helpRequested = true;
       },
       0, {}},
      {"HelpWithValueIgnored", {"-h=1"}, none, 0, {}},
      {"LogMaskHex", {"-X", "0x401"},
       [](Parameters& p) {
         p.logMask = 0x401;
         p.extendedUsage = true;
       },
       0, {}},
      {"LogMaskDecimal", {"-X=65536"},
       [](Parameters& p) {
         p.logMask = 0x10000;
         p.extendedUsage = true;
       },
       0, {}},
      // Reported, yet the parse succeeds.
      {"LogMaskLeftover", {"-X", "12abc"},
       [](Parameters& p) {
         p.logMask = 12;
         p.extendedUsage = true;
       },
       0, {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"}},
      {"EveryErrorReported", {"-Y", "-d", "XYZ", "-t", "serial", "--http", "--https"},
       [](Parameters& p) {
         p.transport = TRANSPORT_INVALID;
         p.transportGiven = true;
         p.serverUrl = kDefaultHttpsUrl;
       },
       1,
       {"Unhandled command: [-Y]", "Invalid serial number obtained from argument [XYZ]",
        "Invalid transport type:[serial]\nMust be one of the following: USB, TCPIP, RECOVER",
        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."}},
  };
  return cases;
}

void expect_same(const Parameters& a, const Parameters& b) {
  EXPECT_EQ(a.commands.Bits(), b.commands.Bits());
  EXPECT_EQ(a.deviceSerial, b.deviceSerial);
  EXPECT_EQ(a.routerSerial, b.routerSerial);
  EXPECT_EQ(a.transport, b.transport);
  EXPECT_EQ(a.transportGiven, b.transportGiven);
  EXPECT_EQ(a.serialPort, b.serialPort);
  EXPECT_EQ(a.baudRate, b.baudRate);
  EXPECT_EQ(a.moduleAddress, b.moduleAddress);
  EXPECT_EQ(a.birdFile, b.birdFile);
  EXPECT_EQ(a.historyMessage, b.historyMessage);
  EXPECT_EQ(a.buildNumber, b.buildNumber);
  EXPECT_EQ(a.echoRecovery, b.echoRecovery);
  EXPECT_EQ(a.serverUrl, b.serverUrl);
  EXPECT_EQ(a.nFlag, b.nFlag);
  EXPECT_EQ(a.storageDirectory, b.storageDirectory);
  EXPECT_EQ(a.appName, b.appName);
  EXPECT_EQ(a.logFileMode, b.logFileMode);
  EXPECT_EQ(a.logFileName, b.logFileName);
  EXPECT_EQ(a.overrideModelCheck, b.overrideModelCheck);
  EXPECT_EQ(a.useUEIBytes, b.useUEIBytes);
  EXPECT_EQ(a.logMask, b.logMask);
  EXPECT_EQ(a.extendedUsage, b.extendedUsage);
  EXPECT_EQ(a.helpRequested, b.helpRequested);
}

class GetParams : public testing::TestWithParam<ParseCase> {
 protected:
  void SetUp() override { Log::DeactivatePackage(0xFFFFFFFFu); }
  void TearDown() override { Log::DeactivatePackage(0xFFFFFFFFu); }
};

TEST_P(GetParams, FillsRecordAndReportsErrors) {
  const ParseCase& c = GetParam();
  std::vector<std::string> words = {"/opt/tools/updater"};
  words.insert(words.end(), c.args.begin(), c.args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);

  Parameters expected;
  expected.serverUrl = kDefaultHttpUrl;
  expected.appName = "updater";
  c.expect(expected);

  RecordingDisplay display;
  Parameters params;
  params.deviceSerial = 0xBAD;  // _get_params starts from the defaults
  EXPECT_EQ(_get_params(display, static_cast<int>(argv.size()), argv.data(), &params), c.result);
  expect_same(params, expected);
  EXPECT_EQ(display.errors, c.errors);
  EXPECT_TRUE(display.info.empty());
}

INSTANTIATE_TEST_SUITE_P(CommandLines, GetParams, testing::ValuesIn(parse_cases()),
                         [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

class GetParamsLog : public GetParams {};

TEST_F(GetParamsLog, LogMaskActivatesPackagesOnlyWhenWellFormed) {
  RecordingDisplay display;
  Parameters params;
  char prog[] = "updater";
  char opt[] = "-X";
  char bad[] = "0x20zz";
  char* badLine[] = {prog, opt, bad};
  _get_params(display, 3, badLine, &params);
  EXPECT_EQ(Log::ActivePackages(), 0u);

  char good[] = "0x20";
  char* goodLine[] = {prog, opt, good};
  _get_params(display, 3, goodLine, &params);
  EXPECT_EQ(Log::ActivePackages(), DEBUG_ServerComm);
}

TEST(ApplicationName, LastPathComponent) {
  const char* names[][2] = {
      {"updater", "updater"}, {"/usr/bin/updater", "updater"}, {"C:\\tools\\updater.exe", "updater.exe"},
      {"dir/", ""},
  };
  for (auto& n : names) {
    RecordingDisplay display;
    Parameters params;
    std::string word = n[0];
    char* argv[] = {&word[0]};
    _get_params(display, 1, argv, &params);
    EXPECT_EQ(params.appName, n[1]) << n[0];
  }
}

}  // namespace
