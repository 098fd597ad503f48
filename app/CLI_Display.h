// Console form of the display: information to standard output, errors to
// standard error, and a progress bar and spinner redrawn in place on the
// current line. Bar and spinner draw only when standard output is a terminal,
// so redirected output holds messages alone.
#pragma once

#include <stdint.h>

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so that redrawn
  // lines, messages and log text reach the terminal in the order written.
  CLI_Display();

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool active, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

 private:
  // Frame counter of the spinner, shared by every instance; only the main
  // thread animates it.
  static uint8_t s_spinnerFrame;
};
