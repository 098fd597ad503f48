#include "app/Log.h"

#include <stdarg.h>

std::atomic<FILE*> Log::fh{nullptr};
std::atomic<uint32_t> Log::package_bitmask{0};

void Log::log(uint32_t packages, const char* format, ...) {
  if (packages != 0 && (packages & package_bitmask.load()) == 0) return;
  FILE* out = fh.load();
  if (out == nullptr) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
  // One write per call so that the text of two threads never interleaves
  // within a call.
  fwrite(buffer, 1, len, out);
}

void Log::SetOutput(FILE* stream) { fh.store(stream); }

void Log::ActivatePackage(uint32_t mask) { package_bitmask.fetch_or(mask); }

void Log::DeactivatePackage(uint32_t mask) { package_bitmask.fetch_and(~mask); }

uint32_t Log::ActivePackages() { return package_bitmask.load(); }
