// Process-wide diagnostic log, filtered by a 32-bit package mask.
// Silent until an output stream is set and packages are activated (-X).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <atomic>

// Log packages (bits of the mask).
enum : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,  // printed as "DEBUG_Network" too
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
 public:
  Log() {}
  ~Log() {}

  // Writes the formatted text (cut to 2047 characters) unchanged to the
  // output when packages is 0 or shares a bit with the active mask.
  static void log(uint32_t packages, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE* stream);
  static void ActivatePackage(uint32_t mask);
  static void DeactivatePackage(uint32_t mask);
  static uint32_t ActivePackages();

 private:
  // Set by the main thread, read by any thread that logs (download worker,
  // link threads): atomics keep those reads race-free.
  static std::atomic<FILE*> fh;
  static std::atomic<uint32_t> package_bitmask;
};
