// The -U handler (firmware update, or recovery with -t RECOVER) and the -N
// handler (chip fingerprint).
#include "app/CLI_Display.h"
#include "app/CommandStatus.h"
#include "app/Commands.h"
#include "app/Parameters.h"
#include "updater/Updater.h"

int Command_Fingerprint(Parameters& params, CLI_Display& display, Updater&) {
  if (params.serialPort.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "Must specify the serial port used for connecting");
    return COMMAND_END_RUN;
  }
  return Command_NotAvailable(display, "Fingerprint");
}

int Command_Update(Parameters& params, CLI_Display& display, Updater& updater) {
  updater.Set_UEIBytes_Load(params.useUEIBytes);
  // Recovery talks to the chip's boot loader and may find the serial number
  // itself, so it needs no -d.
  if (params.transport == TRANSPORT_RECOVER) return Command_NotAvailable(display, "Recover");
  if (params.deviceSerial == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "Must specify the specific device to be updated");
    return COMMAND_FAILED;
  }
  return Command_NotAvailable(display, "Update");
}
