// The display: message routing and muting, and the console display's output
// on a terminal (a real pseudo-terminal) and on redirected output.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/CLI_Display.h"
#include "app/UpdaterDisplayInterface.h"
#include "tests/app/run_process.h"

namespace {

// Records what reaches each of the five operations.
class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool show) override { calls.push_back(show ? "show" : "hide"); }
  void update_progress(double, const char*) override { calls.push_back("progress"); }
  void update_spinner(bool, const char*) override { calls.push_back("spinner"); }
  void info_message(const char* text) override { info.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> calls;
  std::vector<std::string> info;
  std::vector<std::string> errors;
};

TEST(DisplayMessage, RoutesByLevelAndFormats) {
  RecordingDisplay display;
  display.message(UpdaterDisplayInterface::INFO, "build %u of %s", 42u, "40F5849A");
  display.message(UpdaterDisplayInterface::ERROR, "failed: %d", 7);
  EXPECT_EQ(display.info, (std::vector<std::string>{"build 42 of 40F5849A"}));
  EXPECT_EQ(display.errors, (std::vector<std::string>{"failed: 7"}));
}

TEST(DisplayMessage, CutsLongTextTo2047Characters) {
  RecordingDisplay display;
  const std::string longText(3000, 'x');
  display.message(UpdaterDisplayInterface::INFO, "%s", longText.c_str());
  ASSERT_EQ(display.info.size(), 1u);
  EXPECT_EQ(display.info[0], std::string(2047, 'x'));
}

TEST(DisplayMessage, MutingSilencesMessagesOnly) {
  RecordingDisplay display;
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::INFO, "hidden");
  display.message(UpdaterDisplayInterface::ERROR, "hidden");
  display.update_spinner(true, nullptr);
  display.update_progress(0.5, nullptr);
  EXPECT_TRUE(display.info.empty());
  EXPECT_TRUE(display.errors.empty());
  EXPECT_EQ(display.calls, (std::vector<std::string>{"spinner", "progress"}));
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::INFO, "shown");
  EXPECT_EQ(display.info, (std::vector<std::string>{"shown"}));
}

std::string bar(int filled, int pad) { return std::string(filled, '=') + ">" + std::string(pad, ' '); }

const std::string kClearLine = "\r" + std::string(88, ' ') + "\r";

struct TerminalCase {
  const char* name;
  void (*draw)(CLI_Display&);
  std::string expected;  // bytes on the terminal
};

// Test names show the case name rather than its bytes.
void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }


const TerminalCase kTerminalCases[] = {
    {"HalfBarNoLabel", [](CLI_Display& d) { d.update_progress(0.5, nullptr); },
     "\r[" + bar(34, 34) + "] ( 50% ) "},
    {"EmptyBar", [](CLI_Display& d) { d.update_progress(0.0, nullptr); }, "\r[" + bar(0, 68) + "] (  0% ) "},
    // At 1.0 the pad width is -1, which still prints one space.
    {"FullBar", [](CLI_Display& d) { d.update_progress(1.0, nullptr); }, "\r[" + bar(69, 1) + "] (100% ) "},
    {"LabelShortensBar", [](CLI_Display& d) { d.update_progress(0.5, "Loading"); },
     "\r (Loading) [" + bar(29, 28) + "] ( 50% ) "},
    {"FractionTruncates", [](CLI_Display& d) { d.update_progress(0.999, nullptr); },
     "\r[" + bar(68, 0) + "] ( 99% ) "},
    {"FractionAboveOneHeldAtFull", [](CLI_Display& d) { d.update_progress(1.5, nullptr); },
     "\r[" + bar(69, 1) + "] (100% ) "},
    {"NegativeFractionHeldAtEmpty", [](CLI_Display& d) { d.update_progress(-0.5, nullptr); },
     "\r[" + bar(0, 68) + "] (  0% ) "},
    {"HideClearsLine", [](CLI_Display& d) { d.display_progress(false); }, kClearLine},
    {"ShowWritesNothing", [](CLI_Display& d) { d.display_progress(true); }, ""},
    {"SpinnerCyclesEightFrames",
     [](CLI_Display& d) {
       for (int i = 0; i < 9; ++i) d.update_spinner(true, nullptr);
     },
     "\r .      \r\r ..      \r\r ...      \r\r ....      \r\r .....      \r\r ....      \r\r ...      \r"
     "\r ..      \r\r .      \r"},
    {"SpinnerWithLabelThenStop",
     [](CLI_Display& d) {
       d.update_spinner(true, "Downloading");
       d.update_spinner(true, "Downloading");
       d.update_spinner(false, "Downloading");
     },
     "\r (Downloading) .      \r\r (Downloading) ..      \r" + kClearLine},
    {"SpinnerFrameSharedByInstances",
     [](CLI_Display& d) {
       CLI_Display other;
       d.update_spinner(true, nullptr);
       other.update_spinner(true, nullptr);
       d.update_spinner(true, nullptr);
     },
     "\r .      \r\r ..      \r\r ...      \r"},
    {"MutedDisplayStillDraws",
     [](CLI_Display& d) {
       d.mute_messages(true);
       d.message(UpdaterDisplayInterface::INFO, "hidden");
       d.update_spinner(true, nullptr);
     },
     "\r .      \r"},
    {"MessagesBetweenRedraws",
     [](CLI_Display& d) {
       d.update_progress(0.0, nullptr);
       d.display_progress(false);
       d.message(UpdaterDisplayInterface::INFO, "done");
     },
     "\r[" + bar(0, 68) + "] (  0% ) " + kClearLine + "done\n"},
};

class ConsoleOnTerminal : public testing::TestWithParam<TerminalCase> {};

TEST_P(ConsoleOnTerminal, DrawsInPlace) {
  const TerminalCase& c = GetParam();
  ProcessResult r = RunInChild(
      [&c] {
        CLI_Display display;
        c.draw(display);
      },
      true);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, c.expected);
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleOnTerminal, testing::ValuesIn(kTerminalCases),
                         [](const testing::TestParamInfo<TerminalCase>& info) { return info.param.name; });

TEST(ConsoleRedirected, DrawsNothingButMessagesStillArrive) {
  ProcessResult r = RunInChild(
      [] {
        CLI_Display display;
        display.update_progress(0.5, "Loading");
        display.update_spinner(true, "Downloading");
        display.update_spinner(false, nullptr);
        display.display_progress(false);
        display.display_progress(true);
        display.message(UpdaterDisplayInterface::INFO, "info %d", 1);
        display.message(UpdaterDisplayInterface::ERROR, "error %d", 2);
      },
      false);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, "info 1\n");
  EXPECT_EQ(r.err, "error 2\n");
}

TEST(ConsoleRedirected, OutputIsUnbuffered) {
  // The child ends without flushing stdio: text that sat in a buffer would
  // be lost.
  ProcessResult r = RunInChild(
      [] {
        CLI_Display display;
        display.info_message("first");
        display.error_message("second");
        display.info_message("third");
      },
      false);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, "first\nthird\n");
  EXPECT_EQ(r.err, "second\n");
}

}  // namespace
