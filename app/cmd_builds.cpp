// Handlers of the build commands: -G (fetch a build into the store), -B and
// -L (list the server's and the store's builds), -J (device token) and -I
// (what the store holds about devices), with their printers.
#include <string>

#include "app/CLI_Display.h"
#include "app/CommandStatus.h"
#include "app/Commands.h"
#include "app/Parameters.h"
#include "app/Usage.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"

namespace {

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
  display.message(UpdaterDisplayInterface::INFO, "%s", token.c_str());
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial) {
  if (builds.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(UpdaterDisplayInterface::INFO, "Build List for device [%08X]:\n", serial);
  display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) {
    display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", entry.first.c_str(),
                    entry.second.c_str());
  }
}

// Ends a build command that needs a device serial number.
int _missing_serial(UpdaterDisplayInterface& display, const char* command) {
  display.message(UpdaterDisplayInterface::ERROR, "Error must supply a serial number for the %s command",
                  command);
  _display_usage(false, false);
  return COMMAND_END_RUN;
}

std::string _setting(const StoredDeviceInfo& info, const char* key) {
  auto it = info.settings.find(key);
  return it == info.settings.end() || it->second.empty() ? "-" : it->second;
}

}  // namespace

int Command_Get(Parameters& params, CLI_Display& display, Updater& updater) {
  if (params.deviceSerial == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "-G must specify a specific device via -d");
    display.message(UpdaterDisplayInterface::ERROR, "--help for usage information");
    return COMMAND_END_RUN;
  }
  display.message(UpdaterDisplayInterface::INFO, "Retrieving firmware for device with serial number %08X",
                  params.deviceSerial);
  if (params.buildNumber.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "No build specified");
    display.message(UpdaterDisplayInterface::INFO, "Using Latest build");
  } else {
    display.message(UpdaterDisplayInterface::INFO, "Retrieving firmware build %s", params.buildNumber.c_str());
  }
  uint32_t build =
      updater.Download_Firmware(params.deviceSerial, params.buildNumber, params.overrideModelCheck, false);
  if (build == 0) return COMMAND_FAILED;
  params.buildNumber = std::to_string(build);
  return COMMAND_OK;
}

int Command_Builds(Parameters& params, CLI_Display& display, Updater& updater) {
  if (params.deviceSerial == 0) return _missing_serial(display, "List Builds");
  _display_builds(display, updater.Get_BuildList(params.deviceSerial), params.deviceSerial);
  return COMMAND_OK;
}

int Command_Local(Parameters& params, CLI_Display& display, Updater& updater) {
  if (params.deviceSerial == 0) return _missing_serial(display, "List Local Builds");
  _display_builds(display, updater.Get_BuildListLocal(params.deviceSerial), params.deviceSerial);
  return COMMAND_OK;
}

int Command_JWT(Parameters& params, CLI_Display& display, Updater& updater) {
  if (params.deviceSerial == 0) return _missing_serial(display, "Get JWT");
  _display_jwt(display, updater.Get_JWT(params.deviceSerial));
  return COMMAND_OK;
}

int Command_Info(Parameters& params, CLI_Display& display, Updater& updater) {
  const UpdaterDisplayInterface::Level info = UpdaterDisplayInterface::INFO;
  if (params.deviceSerial != 0) {
    StoredDeviceInfo device;
    if (!updater.Get_StoredDevice(params.deviceSerial, device)) {
      display.message(UpdaterDisplayInterface::ERROR, "Device [%08X] is not in the store at %s",
                      params.deviceSerial, updater.StoreDirectory().c_str());
      display.message(UpdaterDisplayInterface::ERROR, "Fetch a build for it with -G -d %08X, or check -i",
                      params.deviceSerial);
      return COMMAND_FAILED;
    }
    display.message(info, "Device [%s] in %s", device.name.c_str(), device.path.c_str());
    display.message(info, "Settings:");
    for (const auto& entry : device.settings) {
      display.message(info, "    %s=%s", entry.first.c_str(), entry.second.c_str());
    }
    _display_builds(display, device.builds, params.deviceSerial);
    return COMMAND_OK;
  }
  std::vector<StoredDeviceInfo> devices = updater.Get_StoredDevices();
  if (devices.empty()) {
    display.message(info, "No devices in the store at %s", updater.StoreDirectory().c_str());
    return COMMAND_OK;
  }
  display.message(info, "Devices in the store at %s:\n", updater.StoreDirectory().c_str());
  display.message(info, "%-8s\t%-15s\t%-24s\t%-15s\t%-24s", "Device", "Latest download", "Download date",
                  "Latest transfer", "Transfer date");
  for (const StoredDeviceInfo& device : devices) {
    display.message(info, "%-8s\t%-15s\t%-24s\t%-15s\t%-24s", device.name.c_str(),
                    _setting(device, "LATEST_DOWNLOAD").c_str(), _setting(device, "LAST_DOWNLOAD_DATE").c_str(),
                    _setting(device, "LATEST_TRANSFER").c_str(), _setting(device, "LAST_TRANSFER_DATE").c_str());
  }
  return COMMAND_OK;
}
