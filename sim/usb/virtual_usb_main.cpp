// virtual_usb: runs a command with virtual modules on an emulated USB bus.
//
//   virtual_usb [--module SERIAL[:MODEL]]... [--max-packet N] [--heartbeat MS]
//               [--loader-serial SERIAL] -- COMMAND [ARGUMENTS...]
//
// SERIAL is eight hexadecimal digits, MODEL a model code (hexadecimal, default
// 13). Without --module the modules come from VIRTUAL_USB_MODULES, a comma-
// separated list in the same form. The command runs under umockdev's preload
// library, so an unmodified libusb inside it sees exactly these modules; this
// program answers their USB requests until the command ends, and exits with
// the command's status (125 when the bus cannot be set up).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/module/VirtualModule.h"
#include "sim/usb/EmulatedUsbBus.h"
#include "sim/usb/UsbModulePort.h"

namespace {

constexpr int kSetupFailed = 125;

void sUsage() {
  fprintf(stderr,
          "usage: virtual_usb [--module SERIAL[:MODEL]]... [--max-packet N] [--heartbeat MS]\n"
          "                   [--loader-serial SERIAL] -- COMMAND [ARGUMENTS...]\n"
          "  SERIAL: eight hexadecimal digits; MODEL: model code in hexadecimal (default 13).\n"
          "  Without --module, VIRTUAL_USB_MODULES lists the modules (comma-separated).\n");
}

bool sParseHex(const std::string& text, size_t maxDigits, uint32_t* value) {
  if (text.empty() || text.size() > maxDigits) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(text.c_str(), &end, 16);
  if (errno || *end) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool sParseModule(const std::string& text, sim::VirtualModuleConfig* config) {
  const size_t colon = text.find(':');
  uint32_t serial = 0, model = 0x13;
  if (!sParseHex(text.substr(0, colon), 8, &serial) || serial == 0) return false;
  if (colon != std::string::npos && !sParseHex(text.substr(colon + 1), 2, &model)) return false;
  config->serial = serial;
  config->model = static_cast<uint8_t>(model);
  config->name = "VirtualUSB";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<sim::VirtualModuleConfig> configs;
  uint16_t maxPacket = 64;
  uint32_t heartbeatMs = 1000, loaderSerial = 0;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    uint32_t value = 0;
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "--module" && hasValue) {
      sim::VirtualModuleConfig config;
      if (!sParseModule(argv[++i], &config)) {
        fprintf(stderr, "virtual_usb: bad module \"%s\": give SERIAL[:MODEL] in hex\n", argv[i]);
        return kSetupFailed;
      }
      configs.push_back(config);
    } else if (arg == "--max-packet" && hasValue) {
      const long v = strtol(argv[++i], nullptr, 10);
      if (v != 64 && v != 512 && v != 1024) {
        fprintf(stderr, "virtual_usb: --max-packet must be 64, 512 or 1024\n");
        return kSetupFailed;
      }
      maxPacket = static_cast<uint16_t>(v);
    } else if (arg == "--heartbeat" && hasValue) {
      heartbeatMs = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--loader-serial" && hasValue && sParseHex(argv[i + 1], 8, &value)) {
      loaderSerial = value;
      ++i;
    } else {
      sUsage();
      return kSetupFailed;
    }
  }
  if (i >= argc) {
    sUsage();
    return kSetupFailed;
  }
  if (configs.empty()) {
    const char* list = getenv("VIRTUAL_USB_MODULES");
    std::string rest = list ? list : "";
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      sim::VirtualModuleConfig config;
      if (!sParseModule(rest.substr(0, comma), &config)) {
        fprintf(stderr, "virtual_usb: bad entry in VIRTUAL_USB_MODULES: \"%s\"\n",
                rest.substr(0, comma).c_str());
        return kSetupFailed;
      }
      configs.push_back(config);
      rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
  }

  // The testbed sets UMOCKDEV_DIR in this process; the command inherits it.
  sim::EmulatedUsbBus bus;
  std::vector<std::unique_ptr<sim::VirtualModule>> modules;
  std::vector<std::unique_ptr<sim::UsbModulePort>> ports;
  for (sim::VirtualModuleConfig& config : configs) {
    config.heartbeatMs = heartbeatMs;
    config.loaderSerial = loaderSerial;
    modules.push_back(std::make_unique<sim::VirtualModule>(config));
    ports.push_back(std::make_unique<sim::UsbModulePort>(bus, *modules.back(), maxPacket));
    std::string error;
    if (!ports.back()->Start(&error) || !modules.back()->Start()) {
      fprintf(stderr, "virtual_usb: module %08X cannot be put on the bus: %s\n", config.serial,
              error.empty() ? "no worker thread" : error.c_str());
      return kSetupFailed;
    }
  }

  std::string preload = "libumockdev-preload.so.0";
  if (const char* existing = getenv("LD_PRELOAD"); existing && *existing)
    preload += std::string(":") + existing;
  setenv("LD_PRELOAD", preload.c_str(), 1);

  const pid_t child = fork();
  if (child < 0) {
    perror("virtual_usb: fork");
    return kSetupFailed;
  }
  if (child == 0) {
    execvp(argv[i], argv + i);
    fprintf(stderr, "virtual_usb: cannot run %s: %s\n", argv[i], strerror(errno));
    _exit(127);
  }
  unsetenv("LD_PRELOAD");
  // Interrupts go to the command; this program waits for it to finish.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ports.clear();
  for (auto& module : modules) module->Stop();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kSetupFailed;
}
