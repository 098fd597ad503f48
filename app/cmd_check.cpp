// Placeholder until the BIRD file check lands.
#include "app/CLI_Display.h"
#include "app/Commands.h"
#include "app/Parameters.h"

int Command_Check(Parameters&, CLI_Display& display) { return Command_NotAvailable(display, "Check"); }
