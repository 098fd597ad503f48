// Entry point: parses the command line, prints the version line, shows the
// usage when no command was given, ensures the store directory and runs the
// commands in their fixed order.
#include <stdio.h>

#include <string>

#include "app/AppInfo.h"
#include "app/CLI_Display.h"
#include "app/CommandStatus.h"
#include "app/Commands.h"
#include "app/Log.h"
#include "app/Options.h"
#include "app/Parameters.h"
#include "app/Usage.h"
#include "common/aDirectory.h"
#include "updater/Updater.h"

namespace {

// The exit status a handler's result stands for.
int _exit_status(int status) { return status == COMMAND_OK ? 0 : 1; }

// -N and -G first (they leave a pending status, or end the run when their
// parameters are missing), then the first of the remaining commands, whose
// status ends the run.
int _run_commands(Parameters& params, CLI_Display& display, Updater& updater) {
  int pending = 0;
  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    const int status = Command_Fingerprint(params, display, updater);
    if (status == COMMAND_END_RUN) return 1;
    pending = _exit_status(status);
  }
  if (params.commands.IsSet(CMD_GET)) {
    const int status = Command_Get(params, display, updater);
    if (status == COMMAND_END_RUN) return 1;
    pending = _exit_status(status);
  }
  if (params.commands.IsSet(CMD_DISCOVER)) return _exit_status(Command_Discover(params, display, updater));
  if (params.commands.IsSet(CMD_UPDATE)) return _exit_status(Command_Update(params, display, updater));
  if (params.commands.IsSet(CMD_BUILDS)) return _exit_status(Command_Builds(params, display, updater));
  if (params.commands.IsSet(CMD_LOCAL)) return _exit_status(Command_Local(params, display, updater));
  if (params.commands.IsSet(CMD_JWT)) return _exit_status(Command_JWT(params, display, updater));
  if (params.commands.IsSet(CMD_INFO)) return _exit_status(Command_Info(params, display, updater));
  if (params.commands.IsSet(CMD_CHECK)) return _exit_status(Command_Check(params, display));
  return pending;
}

}  // namespace

int main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    return 1;
  }
  _display_app_version(display);

  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
    _display_copyright(display);
    _display_usage(params.extendedUsage, params.helpRequested);
    return 0;
  }

  std::string storage = params.storageDirectory;
  if (storage.empty()) {
    char home[2048] = "";
    const aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      display.message(UpdaterDisplayInterface::ERROR,
                      "Could not find the home directory; name a storage directory with -i <directory>");
      return 1;
    }
    storage = BuildPath(home, ".corvanta", nullptr);
  }
  const std::string storeDirectory = BuildPath(storage.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(storeDirectory.c_str(), 0755) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not find updater directory at %s", storeDirectory.c_str());
    return 1;
  }

  Updater updater(params.serverUrl.c_str(), storeDirectory.c_str(), display);
  return _run_commands(params, display, updater);
}
