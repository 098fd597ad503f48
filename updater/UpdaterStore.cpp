#include "updater/UpdaterStore.h"

#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>

#include "app/Log.h"
#include "common/aDirectory.h"
#include "updater/BirdFile.h"
#include "updater/path.h"

namespace {

// Search record of a device or file search.
struct result_t {
  bool found = false;
  std::string text;
  UpdaterStoreItem* item = nullptr;
  bool directoriesOnly = false;
};

bool _is_dot_entry(const std::string& name) { return name == "." || name == ".."; }

bool _find_item(const aDirectoryListData* entry, void* ref) {
  result_t* result = static_cast<result_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->filePath,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->fileSize),
           result->text.c_str());
  std::string full(entry->filePath);
  std::string name = path_FileName(full);
  // The entry's own name must equal the text: a root path that happens to
  // contain it, or a neighbour such as "<serial>-old", is not a match.
  if (_is_dot_entry(name) || name != result->text) return true;
  if (result->directoriesOnly && !entry->isDirectory) return true;
  result->found = true;
  if (result->item != nullptr) {
    *result->item = UpdaterStoreItem(path_Directory(full).c_str(), name.c_str(),
                                     entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

bool _search(const std::string& directory, const char* text, UpdaterStoreItem* item,
             bool directoriesOnly) {
  result_t result;
  result.text = text ? text : "";
  result.item = item;
  result.directoriesOnly = directoriesOnly;
  if (!result.text.empty()) aDirectory_List(directory.c_str(), _find_item, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.text.c_str());
  return result.found;
}

struct listing_t {
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* ref) {
  listing_t* listing = static_cast<listing_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->filePath,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->fileSize));
  std::string full(entry->filePath);
  std::string name = path_FileName(full);
  if (name.empty() || name[0] == '.') return true;
  listing->items->emplace_back(path_Directory(full).c_str(), name.c_str(),
                               entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}

void _ensure_directory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    aErr e = aDirectory_Ensure(path.c_str(), 0755);
    if (e != aErrNone) {
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                               std::to_string(e));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

bool _plain_name(const char* name) {
  return name != nullptr && *name != '\0' && strchr(name, '/') == nullptr &&
         strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

}  // namespace

std::string UpdaterStore_SerialName(unsigned int serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// ---- UpdaterStoreItem ----

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* base, const char* itemName, store_item_t itemKind)
    : basePath(base ? base : ""), name(itemName ? itemName : ""), kind(itemKind) {
  settings.Load(SettingsPath().c_str());
}

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

std::string UpdaterStoreItem::FullPath() const {
  return BuildPath(basePath.c_str(), name.c_str(), nullptr);
}

std::string UpdaterStoreItem::SettingsPath() const {
  return BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

bool UpdaterStoreItem::FileExists(const char* fileName) const {
  return _search(FullPath(), fileName, nullptr, false);
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data,
                                 unsigned long length) {
  if (data == nullptr || !IsValid()) return aErrNotFound;
  if (!_plain_name(fileName)) return aErrParam;
  std::string target = BuildPath(FullPath().c_str(), fileName, nullptr);
  int err = 0;
  aErr result = path_ReplaceFile(target.c_str(), data, length, &err);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "UpdaterStore: could not write [%s] (%d: %s)\n", target.c_str(), err,
             strerror(err));
  }
  return result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
  std::string target = BuildPath(FullPath().c_str(), fileName ? fileName : "", nullptr);
  if (!BirdFile::VerifyFile(target.c_str())) {
    throw std::runtime_error("Invalid bird " + target);
  }
  return BirdFile(target.c_str());
}

// ---- UpdaterStore ----

UpdaterStore::UpdaterStore(const char* root) : m_root(root ? root : "") {
  if (m_root.empty()) throw std::runtime_error("UpdaterStore: no store directory given");
  _ensure_directory(m_root);
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* deviceName) {
  if (!_plain_name(deviceName)) {
    throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                             (deviceName ? deviceName : "") + "]");
  }
  _ensure_directory(BuildPath(m_root.c_str(), deviceName, nullptr));
  return UpdaterStoreItem(m_root.c_str(), deviceName, STORE_ITEM_DIRECTORY);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) {
  return AddDevice(UpdaterStore_SerialName(serial).c_str());
}

bool UpdaterStore::FindDevice(const char* deviceName, UpdaterStoreItem* item) const {
  return _search(m_root, deviceName, item, true);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) const {
  return FindDevice(UpdaterStore_SerialName(serial).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) const {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  listing_t listing{&items};
  aDirectory_List(device.FullPath().c_str(), _find_items, &listing);
  return true;
}

std::vector<std::string> UpdaterStore::ListDevices() const {
  std::vector<std::string> names;
  aDirectory_List(
      m_root.c_str(),
      [](const aDirectoryListData* entry, void* ref) {
        std::string name = path_FileName(entry->filePath);
        if (entry->isDirectory && !name.empty() && name[0] != '.') {
          static_cast<std::vector<std::string>*>(ref)->push_back(name);
        }
        return true;
      },
      &names);
  std::sort(names.begin(), names.end());
  return names;
}
