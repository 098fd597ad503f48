// The -D handler: lists the modules the host can reach.
#include "app/CLI_Display.h"
#include "app/Commands.h"
#include "app/Parameters.h"

int Command_Discover(Parameters&, CLI_Display& display, Updater&) {
  // Discovery needs no parameters: without -t it searches USB, with -r the
  // network behind that routing module.
  return Command_NotAvailable(display, "Discover");
}
