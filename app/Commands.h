// Command handlers. Each checks the parameters it needs, prints its messages
// through the display and returns the exit status it wants for the run
// (0 or 1). The entry point decides the order in which they run.
#pragma once

#include <stdint.h>

struct Parameters;
class CLI_Display;
class Updater;

int Command_Fingerprint(Parameters& params, CLI_Display& display, Updater& updater);  // -N
int Command_Get(Parameters& params, CLI_Display& display, Updater& updater);          // -G
int Command_Discover(Parameters& params, CLI_Display& display, Updater& updater);     // -D
int Command_Update(Parameters& params, CLI_Display& display, Updater& updater);       // -U
int Command_Builds(Parameters& params, CLI_Display& display, Updater& updater);       // -B
int Command_Local(Parameters& params, CLI_Display& display, Updater& updater);        // -L
int Command_JWT(Parameters& params, CLI_Display& display, Updater& updater);          // -J
int Command_Info(Parameters& params, CLI_Display& display, Updater& updater);         // -I
int Command_Check(Parameters& params, CLI_Display& display);                          // -C

// Prints that the named command is not available in this build; returns 1.
int Command_NotAvailable(CLI_Display& display, const char* command);
