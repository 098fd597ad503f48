// The update engine: the one object through which the command handlers
// drive discovery, build retrieval, firmware update and recovery. It owns
// no resources beyond its three settings; each operation opens the store
// anew and reports its failures through the display before returning.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class UpdaterDisplayInterface;
class UpdaterStore;
class KeyValueStore;

// Build number text -> version text, ordered by the byte order of the keys.
typedef std::map<std::string, std::string> BuildList;

// What the store holds about one device (see Get_StoredDevice).
struct StoredDeviceInfo {
  std::string name;                                 // "%08X"
  std::string path;                                 // the device's folder
  std::map<std::string, std::string> settings;      // every key of .settings
  BuildList builds;                                 // stored builds and versions
};

class Updater {
 public:
  Updater(const char* url, const char* storeDirectory, UpdaterDisplayInterface& display);

  void Set_UEIBytes_Load(bool enabled) { m_ueiBytesLoad = enabled; }

  const std::string& Url() const { return m_url; }
  const std::string& StoreDirectory() const { return m_storeDirectory; }
  UpdaterDisplayInterface& Display() { return m_display; }
  uint8_t ChipKind() const { return m_chipKind; }
  bool UEIBytesLoad() const { return m_ueiBytesLoad; }

  // Build retrieval (Updater_builds.cpp).

  // Fetches one build into the store: the build text is decimal, or empty
  // or "0" for the latest. Returns the build number stored, 0 on failure
  // (the reason has been printed). `override` skips checking the number
  // against the server's list; `noCal` is passed on to the server.
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal);
  // The server's builds for the device; empty on failure (reported).
  BuildList Get_BuildList(uint32_t serial);
  // The builds stored for the device, with the version text of each file.
  BuildList Get_BuildListLocal(uint32_t serial);
  // The device's software-feature token; empty on failure (reported).
  std::string Get_JWT(uint32_t serial);

  // Stored device information (Updater_info.cpp).

  // Fills `info` for the device; false when the store does not hold it.
  bool Get_StoredDevice(uint32_t serial, StoredDeviceInfo& info);
  // Every device folder of the store, by name, with its settings (builds
  // are not read). Empty when the store cannot be opened (reported).
  std::vector<StoredDeviceInfo> Get_StoredDevices();

 private:
  std::string m_url;
  std::string m_storeDirectory;
  UpdaterDisplayInterface& m_display;
  uint8_t m_chipKind = 0;
  bool m_ueiBytesLoad = false;
};

// Opens the store at storeDirectory; on failure prints
// "Failed to Create UpdaterStore in: <caller> - Exception: <text>" and
// returns an empty pointer.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const char* storeDirectory, const char* caller);
