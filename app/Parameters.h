// The parsed command line: one record per run, filled by _get_params.
#pragma once

#include <stdint.h>

#include <string>

// Command bits (CommandsClass).
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,     // -D
  CMD_UPDATE = 0x00000002,       // -U
  CMD_BUILDS = 0x00000004,       // -B
  CMD_GET = 0x00000008,          // -G
  CMD_INFO = 0x00000010,         // -I
  CMD_CHECK = 0x00000020,        // -C
  CMD_FINGERPRINT = 0x00000040,  // -N
  CMD_Z = 0x00000080,            // -Z
  CMD_JWT = 0x00000100,          // -J
  CMD_LOCAL = 0x00000200,        // -L
  CMD_HELP = 0x80000000,         // -h, -H, --help
  CMD_ANY_COMMAND = 0x000003FF,
};

class CommandsClass {
 public:
  void Set(uint32_t bit) { bits_ |= bit; }
  bool IsSet(uint32_t mask) const { return (bits_ & mask) != 0; }
  uint32_t Bits() const { return bits_; }

 private:
  uint32_t bits_ = 0;
};

// Transport values of -t.
enum : int32_t {
  TRANSPORT_INVALID = 0,
  TRANSPORT_USB = 1,
  TRANSPORT_TCPIP = 2,
  TRANSPORT_RECOVER = 255,
};

struct Parameters {
  CommandsClass commands;
  uint32_t deviceSerial = 0;
  uint32_t routerSerial = 0;
  int32_t transport = TRANSPORT_USB;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 115200;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string historyMessage;
  std::string buildNumber;
  bool echoRecovery = false;
  std::string serverUrl;
  bool nFlag = false;
  std::string storageDirectory;
  std::string appName;
  std::string homeDirectory;
  std::string logFileMode = "a+";
  std::string logFileName = "Updater.log";
  bool overrideModelCheck = false;
  bool useUEIBytes = true;
  uint32_t logMask = 0;
  bool extendedUsage = false;
  bool helpRequested = false;
};
