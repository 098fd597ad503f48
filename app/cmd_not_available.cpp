// Handlers whose operation is not part of this build end here: they say so
// and fail rather than pretend to work.
#include "app/CLI_Display.h"
#include "app/CommandStatus.h"
#include "app/Commands.h"

int Command_NotAvailable(CLI_Display& display, const char* command) {
  display.message(UpdaterDisplayInterface::ERROR, "The %s command is not available in this build.", command);
  return COMMAND_FAILED;
}
