// Statuses a command handler returns to the entry point.
#pragma once

enum CommandStatus : int {
  COMMAND_OK = 0,
  COMMAND_FAILED = 1,
  // The handler's parameters are missing: the run ends at once with exit
  // status 1. Handlers that otherwise only leave a pending status (-N, -G)
  // need this to stop the later commands.
  COMMAND_END_RUN = 2,
};
