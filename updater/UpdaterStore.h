// The per-device store on disk: a root directory holding one directory per
// module, named by its serial number ("%08X"), with the BIRD files fetched
// for that module and its ".settings" file.
//
// UpdaterStore owns nothing but the root path; everything lives on disk.
// UpdaterStoreItem stands for one directory or file of the store and carries
// the settings loaded from <basePath>/<name>/.settings. Items are plain
// values, copied freely.
#pragma once

#include <string>
#include <vector>

#include "common/aError.h"
#include "updater/KeyValueStore.h"

class BirdFile;

enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem {
 public:
  // Unset item: empty paths, kind STORE_ITEM_NONE, nothing loaded.
  UpdaterStoreItem();
  // Loads the settings of <basePath>/<name>/.settings (created when missing
  // and possible).
  UpdaterStoreItem(const char* basePath, const char* name, store_item_t kind);

  // True when both the base path and the name are set.
  bool IsValid() const;
  // True when this item's directory holds an entry named exactly fileName.
  bool FileExists(const char* fileName) const;
  // Replaces <basePath>/<name>/fileName with the data in one step (never
  // half-written). aErrNotFound for null data or a file that cannot be
  // created, aErrParam for a file name that is not a plain name, aErrWrite
  // when writing failed (the previous file then stays as it was).
  aErr WriteFile(const char* fileName, const unsigned char* data, unsigned long length);
  // Loads <basePath>/<name>/fileName. Throws std::runtime_error
  // "Invalid bird <path>" when the file is not a BIRD file, and
  // "Failed to load bird data" when it cannot be loaded.
  BirdFile ReadBirdFile(const char* fileName) const;

  // The directory path <basePath>/<name>.
  std::string FullPath() const;
  // <basePath>/<name>/.settings
  std::string SettingsPath() const;

  std::string basePath;
  std::string name;
  store_item_t kind;
  KeyValueStore settings;
};

class UpdaterStore {
 public:
  // Ensures the root is a directory (created with its parents, 0755).
  // Throws std::runtime_error when it cannot be made or is a file.
  explicit UpdaterStore(const char* root);

  const std::string& BasePath() const { return m_root; }

  // Ensures root/name is a directory (throws std::runtime_error when it
  // cannot be) and returns its item; its settings file is created if missing.
  UpdaterStoreItem AddDevice(const char* name);
  UpdaterStoreItem AddDevice(unsigned int serial);

  // True when the root holds a directory named exactly `name`; fills the
  // item (when not null) on success.
  bool FindDevice(const char* name, UpdaterStoreItem* item) const;
  bool FindDevice(unsigned int serial, UpdaterStoreItem* item) const;

  // Appends one item per entry of the device's directory (names beginning
  // with "." excluded), in directory order; nothing when the device is not
  // in the store. Always true; the vector is not cleared.
  bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) const;

  // Names of the device directories of the store, sorted.
  std::vector<std::string> ListDevices() const;

 private:
  std::string m_root;
};

// The store's name for a serial number: eight upper-case hex digits.
std::string UpdaterStore_SerialName(unsigned int serial);
