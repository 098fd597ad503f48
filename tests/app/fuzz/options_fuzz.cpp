// Fuzzes the command-line parser: the input is split at NUL bytes into the
// words of a command line. Checks that the result is always 0 or 1 and that
// a reported error always means result 1, except for the -X format notice
// and errors reported before a help option (which ends parsing with 0).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/Options.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

class CountingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override { ++info; }
  void error_message(const char* text) override {
    if (std::string(text).compare(0, 19, "Invalid format for ") != 0) ++errors;
  }
  int info = 0;
  int errors = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words = {"updater"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  words.push_back(word);
  if (words.size() > 64) words.resize(64);

  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  CountingDisplay display;
  Parameters params;
  const int result = _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
  if (result != 0 && result != 1) abort();
  if (display.info != 0) abort();
  if (!params.helpRequested && (display.errors > 0) != (result == 1)) abort();
  if (params.helpRequested && result != 0) abort();
  return 0;
}
