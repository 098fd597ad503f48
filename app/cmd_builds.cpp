// Handlers of commands whose operations are not part of this build yet.
// Each says so and fails rather than pretending to work.
#include "app/CLI_Display.h"
#include "app/Commands.h"
#include "app/Parameters.h"

int Command_Get(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "Get");
}

int Command_Builds(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "Builds");
}

int Command_Local(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "Local");
}

int Command_JWT(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "JWT");
}

int Command_Info(Parameters&, CLI_Display& display, Updater&) {
  return Command_NotAvailable(display, "Info");
}

