// Stored device information: what the store holds about each device.
#include <ctype.h>

#include <memory>

#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

namespace {

// Device folders are named by the serial number: eight upper-case hex digits.
bool _is_device_name(const std::string& name) {
  if (name.size() != 8) return false;
  for (char c : name) {
    if (!isxdigit(static_cast<unsigned char>(c)) || islower(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

bool Updater::Get_StoredDevice(uint32_t serial, StoredDeviceInfo& info) {
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(m_display, m_storeDirectory.c_str(), "Get_StoredDevice");
  if (!store) return false;
  UpdaterStoreItem device;
  if (!store->FindDevice(serial, &device)) return false;
  info.name = device.name;
  info.path = device.FullPath();
  info.settings = device.settings.Values();
  info.builds = Get_BuildListLocal(serial);
  return true;
}

std::vector<StoredDeviceInfo> Updater::Get_StoredDevices() {
  std::vector<StoredDeviceInfo> devices;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(m_display, m_storeDirectory.c_str(), "Get_StoredDevices");
  if (!store) return devices;
  for (const std::string& name : store->ListDevices()) {
    if (!_is_device_name(name)) continue;
    UpdaterStoreItem device;
    if (!store->FindDevice(name.c_str(), &device)) continue;
    StoredDeviceInfo info;
    info.name = device.name;
    info.path = device.FullPath();
    info.settings = device.settings.Values();
    devices.push_back(std::move(info));
  }
  return devices;
}
