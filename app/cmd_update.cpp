// Handlers of commands whose operations are not part of this build yet.
// Each says so and fails rather than pretending to work.
#include "app/CLI_Display.h"
#include "app/Commands.h"
#include "app/Parameters.h"

int Command_Fingerprint(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "Fingerprint");
}

int Command_Update(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "Update");
}

