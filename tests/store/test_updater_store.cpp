// The store on disk: root and device folders, device search, listings,
// one-step writes and reading stored BIRD files.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/store/TempDir.h"
#include "updater/BirdFile.h"
#include "updater/UpdaterStore.h"

namespace {

std::vector<std::string> Names(const std::vector<UpdaterStoreItem>& items) {
  std::vector<std::string> names;
  for (const auto& item : items) names.push_back(item.name);
  std::sort(names.begin(), names.end());
  return names;
}

void MakeDir(const std::string& path) { ASSERT_EQ(aErrNone, aDirectory_Ensure(path.c_str(), 0755)); }

}  // namespace

TEST(UpdaterStore, FreshRootAndDevice) {
  TempDir dir;
  std::string root = dir / "home/.corvanta/updater";
  UpdaterStore store(root.c_str());
  EXPECT_TRUE(aDirectory_Exists(root.c_str()));
  EXPECT_EQ(root, store.BasePath());
  UpdaterStoreItem device = store.AddDevice(0x1A2Bu);
  EXPECT_EQ(root, device.basePath);
  EXPECT_EQ("00001A2B", device.name);
  EXPECT_EQ(STORE_ITEM_DIRECTORY, device.kind);
  EXPECT_TRUE(device.IsValid());
  EXPECT_EQ(std::vector<std::string>{".settings"}, ListNames(root + "/00001A2B"));
  KeyValueStore settings((root + "/00001A2B/.settings").c_str());
  EXPECT_NE(nullptr, settings["CREATED_TIME"]);
  EXPECT_NE(nullptr, settings["UPDATED_TIME"]);
  EXPECT_EQ(2u, settings.Values().size());
  // Adding it again keeps the folder and its settings.
  device.settings.Add("LATEST_DOWNLOAD", "7.bird");
  device.settings.Save();
  UpdaterStoreItem again = store.AddDevice("00001A2B");
  EXPECT_STREQ("7.bird", again.settings["LATEST_DOWNLOAD"]);
}

TEST(UpdaterStore, RootOrDeviceThatIsAFileThrows) {
  TempDir dir;
  std::string file = dir / "plain";
  WriteText(file, "x");
  try {
    UpdaterStore store(file.c_str());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("UpdaterStore: " + file + " exists and is a file", e.what());
  }
  UpdaterStore store(dir.path().c_str());
  WriteText(dir / "0A1B2C3D", "x");
  try {
    store.AddDevice(0x0A1B2C3Du);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("UpdaterStore: " + (dir / "0A1B2C3D") + " exists and is a file", e.what());
  }
  // A file named like the device is not the device.
  EXPECT_FALSE(store.FindDevice(0x0A1B2C3Du, nullptr));
}

TEST(UpdaterStore, RootThatCannotBeCreatedThrows) {
  TempDir dir;
  WriteText(dir / "file", "x");
  std::string root = dir / "file/sub";
  try {
    UpdaterStore store(root.c_str());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("UpdaterStore: Could not create directory " + root + " error " + std::to_string(aErrPermission),
              e.what());
  }
}

TEST(UpdaterStore, FindDeviceMatchesTheFolderNameExactly) {
  struct Case {
    const char* name;
    std::vector<std::string> folders;  // device folders made under the root
    bool found;
  } cases[] = {
      {"exact folder", {"0A1B2C3D"}, true},
      {"neighbour with suffix only", {"0A1B2C3D-old"}, false},
      {"neighbour with prefix only", {"old-0A1B2C3D"}, false},
      {"lower-case folder", {"0a1b2c3d"}, false},
      {"neighbour and device", {"0A1B2C3D-old", "0A1B2C3D", "10A1B2C3D"}, true},
      {"empty store", {}, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    // The root's own path contains the serial text.
    std::string root = dir / "0A1B2C3D/updater";
    UpdaterStore store(root.c_str());
    for (const auto& f : c.folders) MakeDir(root + "/" + f);
    UpdaterStoreItem item;
    EXPECT_EQ(c.found, store.FindDevice(0x0A1B2C3Du, &item)) << c.name;
    if (c.found) {
      EXPECT_EQ(root, item.basePath) << c.name;
      EXPECT_EQ("0A1B2C3D", item.name) << c.name;
      EXPECT_EQ(STORE_ITEM_DIRECTORY, item.kind) << c.name;
    } else {
      EXPECT_FALSE(item.IsValid()) << c.name;
      EXPECT_EQ(STORE_ITEM_NONE, item.kind) << c.name;
    }
  }
}

TEST(UpdaterStore, FindDeviceLoadsSettings) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  MakeDir(dir / "0A1B2C3D");
  WriteText(dir / "0A1B2C3D/.settings", "LATEST_DOWNLOAD=1234.bird\n");
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice("0A1B2C3D", &item));
  EXPECT_STREQ("1234.bird", item.settings["LATEST_DOWNLOAD"]);
  EXPECT_EQ(1234, item.settings.GetInt("LATEST_DOWNLOAD", 0));
}

TEST(UpdaterStore, LocalBuildListing) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x0A1B2C3Du);
  WriteText(dir / "0A1B2C3D/100.bird", "x");
  WriteText(dir / "0A1B2C3D/notes.txt", "x");
  WriteText(dir / "0A1B2C3D/.hidden", "x");
  MakeDir(dir / "0A1B2C3D-old");
  WriteText(dir / "0A1B2C3D-old/999.bird", "x");
  std::vector<UpdaterStoreItem> items;
  items.emplace_back();  // the vector is appended to, not cleared
  EXPECT_TRUE(store.FindLocalBuilds(0x0A1B2C3Du, items));
  ASSERT_EQ(3u, items.size());
  items.erase(items.begin());
  EXPECT_EQ((std::vector<std::string>{"100.bird", "notes.txt"}), Names(items));
  for (const auto& item : items) {
    EXPECT_EQ(STORE_ITEM_FILE, item.kind);
    EXPECT_EQ(dir / "0A1B2C3D", item.basePath);
  }
  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x11111111u, none));
  EXPECT_TRUE(none.empty());
}

TEST(UpdaterStoreItem, FileExistsByExactName) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x0A1B2C3Du);
  WriteText(dir / "0A1B2C3D/1234.bird", "x");
  EXPECT_TRUE(device.FileExists("1234.bird"));
  EXPECT_TRUE(device.FileExists(".settings"));
  EXPECT_FALSE(device.FileExists("234.bird"));
  EXPECT_FALSE(device.FileExists("1234"));
  EXPECT_FALSE(device.FileExists(""));
  EXPECT_FALSE(device.FileExists(nullptr));
}

TEST(UpdaterStoreItem, WriteFile) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x0A1B2C3Du);
  const unsigned char data[] = {'b', 'i', 'r', 'd', 0, 1};
  EXPECT_EQ(aErrNone, device.WriteFile("5.bird", data, sizeof data));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), sizeof data), ReadText(dir / "0A1B2C3D/5.bird"));
  EXPECT_EQ(aErrNotFound, device.WriteFile("6.bird", nullptr, 4));
  EXPECT_EQ(aErrParam, device.WriteFile("../escape.bird", data, sizeof data));
  EXPECT_EQ(aErrParam, device.WriteFile("", data, sizeof data));
  EXPECT_EQ((std::vector<std::string>{".settings", "5.bird"}), ListNames(dir / "0A1B2C3D"));
  UpdaterStoreItem unset;
  EXPECT_EQ(aErrNotFound, unset.WriteFile("5.bird", data, sizeof data));
}

TEST(UpdaterStoreItem, FailedWriteKeepsStoredBuild) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x0A1B2C3Du);
  std::string old(100, 'o');
  ASSERT_EQ(aErrNone, device.WriteFile("5.bird", reinterpret_cast<const unsigned char*>(old.data()), old.size()));
  std::string big(50000, 'n');
  {
    FileSizeLimit limit(8192);
    EXPECT_EQ(aErrWrite,
              device.WriteFile("5.bird", reinterpret_cast<const unsigned char*>(big.data()), big.size()));
  }
  EXPECT_EQ(old, ReadText(dir / "0A1B2C3D/5.bird"));
  EXPECT_EQ((std::vector<std::string>{".settings", "5.bird"}), ListNames(dir / "0A1B2C3D"));
}

TEST(UpdaterStoreItem, ReadBirdFileErrors) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x0A1B2C3Du);
  WriteText(dir / "0A1B2C3D/1.bird", "nope, not a bird file");
  // Valid header, payload that is not a zlib stream.
  WriteText(dir / "0A1B2C3D/2.bird", std::string("bird\x01\x01", 6) + "garbage payload");
  struct Case {
    const char* file;
    std::string message;
  } cases[] = {
      {"1.bird", "Invalid bird " + (dir / "0A1B2C3D/1.bird")},
      {"2.bird", "Failed to load bird data"},
      {"missing.bird", "Invalid bird " + (dir / "0A1B2C3D/missing.bird")},
  };
  for (const Case& c : cases) {
    try {
      device.ReadBirdFile(c.file);
      ADD_FAILURE() << "no exception for " << c.file;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(c.message, e.what()) << c.file;
    }
  }
}
