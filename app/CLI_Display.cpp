#include "app/CLI_Display.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// Width of the blank run that wipes a progress or spinner line.
constexpr int kClearWidth = 88;

// Full-width bar; a redraw prints the filled part of it.
constexpr char kBarTemplate[] = "=====================================================================";
constexpr int kBarWidth = sizeof kBarTemplate - 1;  // 69

constexpr const char* kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned kSpinnerFrameCount = sizeof kSpinnerFrames / sizeof kSpinnerFrames[0];

bool stdout_is_terminal() { return isatty(fileno(stdout)) == 1; }

void clear_line() { fprintf(stdout, "\r%*s\r", kClearWidth, " "); }

}  // namespace

uint8_t CLI_Display::s_spinnerFrame = 0;

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
  if (!stdout_is_terminal()) return;
  if (!show) clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!stdout_is_terminal()) return;
  // A fraction outside 0..1 (or not a number) would draw past the bar or
  // print a percentage above 100; hold it to the bar.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = kBarWidth;
  if (label != nullptr) width = kBarWidth - static_cast<int>(strlen(label)) - 4;
  if (width < 0) width = 0;
  const int filled = static_cast<int>(width * fraction);
  const int percent = static_cast<int>(100 * fraction);
  // At a full bar the pad width is -1, which prints one space: the line keeps
  // its width from start to end.
  if (label != nullptr) {
    fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarTemplate, width - filled - 1, "",
            percent);
  } else {
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarTemplate, width - filled - 1, "", percent);
  }
}

void CLI_Display::update_spinner(bool active, const char* label) {
  if (!stdout_is_terminal()) return;
  if (!active) {
    clear_line();
    return;
  }
  const char* frame = kSpinnerFrames[s_spinnerFrame % kSpinnerFrameCount];
  if (label != nullptr) {
    fprintf(stdout, "\r (%s) %s      \r", label, frame);
  } else {
    fprintf(stdout, "\r %s      \r", frame);
  }
  s_spinnerFrame = static_cast<uint8_t>((s_spinnerFrame + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
