// Opening the store for one operation of the update engine.
#include <stdexcept>

#include "app/UpdaterDisplayInterface.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const char* storeDirectory,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(storeDirectory);
  } catch (const std::runtime_error& e) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", caller,
                    e.what());
    return nullptr;
  }
}
