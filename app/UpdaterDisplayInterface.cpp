#include "app/UpdaterDisplayInterface.h"

#include <stdarg.h>
#include <stdio.h>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted_) return;
  // vsnprintf cuts longer texts to 2047 characters and terminates them.
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (level == ERROR) {
    error_message(buffer);
  } else {
    info_message(buffer);
  }
}
