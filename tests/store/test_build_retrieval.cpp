// Build retrieval operations of the update engine against the local update
// server: listing, fetching into the store, the token, the local list, and
// what each server fault does to the result and the store.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/UpdaterDisplayInterface.h"
#include "tests/e2e_builds/LocalServer.h"
#include "tests/store/TempDir.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"

namespace {

const uint32_t kSerial = 0x0A1B2C3D;
const char* const kSerialText = "0A1B2C3D";

// Records what the engine shows, in order.
class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool active, const char* label) override {
    spins.push_back(active);
    spinnerLabel = label ? label : "";
  }
  void info_message(const char* text) override { lines.push_back(std::string("I:") + text); }
  void error_message(const char* text) override { lines.push_back(std::string("E:") + text); }

  std::vector<std::string> lines;
  std::vector<bool> spins;
  std::string spinnerLabel;
};

class BuildRetrieval : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog = dir / "catalog";
    store = dir / "store/updater";
    ASSERT_TRUE(MakeCatalogDevice(catalog, kSerialText,
                                  {{1234, "2.10.3"}, {1240, "2.11.0"}, {1300, "2.9.9"}},
                                  "aaa.bbbb.cccccc", "1240"));
  }

  void StartServer(const std::vector<std::string>& options = {}) {
    ASSERT_NE("", server.Start(catalog, options)) << server.Diagnostics();
  }

  Updater MakeUpdater(const std::string& url) { return Updater(url.c_str(), store.c_str(), display); }

  std::string DeviceDir() const { return store + "/" + kSerialText; }
  std::string CatalogBird(unsigned build) const {
    return ReadText(catalog + "/devices/" + kSerialText + "/" + std::to_string(build) + ".bird");
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> errors;
    for (const auto& l : display.lines) {
      if (l.rfind("E:", 0) == 0) errors.push_back(l.substr(2));
    }
    return errors;
  }

  TempDir dir;
  std::string catalog;
  std::string store;
  LocalServer server;
  RecordingDisplay display;
};

// A URL on which nothing listens.
std::string DeadUrl() {
  LocalServer s;
  TempDir d;
  std::string url = s.Start(d.path());
  s.Stop();
  return url;
}

}  // namespace

TEST_F(BuildRetrieval, ServerBuildList) {
  StartServer();
  Updater updater = MakeUpdater(server.Url());
  BuildList builds = updater.Get_BuildList(kSerial);
  EXPECT_EQ((BuildList{{"1234", "2.10.3"}, {"1240", "2.11.0"}, {"1300", "2.9.9"}}), builds);
  EXPECT_TRUE(display.lines.empty());
  EXPECT_TRUE(updater.Get_BuildList(0x11111111).empty());
  EXPECT_EQ(std::vector<std::string>{"Failed to retrieve builds for 11111111"}, Errors());
}

TEST_F(BuildRetrieval, UnreachableServer) {
  std::string url = DeadUrl();
  ASSERT_NE("", url);
  Updater updater = MakeUpdater(url);
  EXPECT_TRUE(updater.Get_BuildList(kSerial).empty());
  EXPECT_EQ("", updater.Get_JWT(kSerial));
  EXPECT_EQ(0u, updater.Download_Firmware(kSerial, "", false, false));
  // Each failure names the server, then why it could not be reached.
  std::string expected = "Server request failed for " + url;
  std::string reason = "Couldn't connect to server";
  EXPECT_EQ((std::vector<std::string>{expected, reason, expected, reason, expected, reason}), Errors());
  // Nothing was created for the device.
  EXPECT_FALSE(aDirectory_Exists(DeviceDir().c_str()));
}

TEST_F(BuildRetrieval, Token) {
  StartServer();
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ("aaa.bbbb.cccccc", updater.Get_JWT(kSerial));
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ("", updater.Get_JWT(0x11111111));
  EXPECT_EQ(std::vector<std::string>{"Failed to retrieve jwt for 11111111"}, Errors());
}

TEST_F(BuildRetrieval, FetchLatestStoresFileAndSettings) {
  StartServer();
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ(1240u, updater.Download_Firmware(kSerial, "", false, false));
  EXPECT_EQ((std::vector<std::string>{"I:Retrieving build 1240", "I:Validating build 1240 with server",
                                      "I:Build 1240 is valid"}),
            display.lines);
  EXPECT_EQ(CatalogBird(1240), ReadText(DeviceDir() + "/1240.bird"));
  KeyValueStore settings((DeviceDir() + "/.settings").c_str());
  EXPECT_STREQ("1240.bird", settings["LATEST_DOWNLOAD"]);
  ASSERT_NE(nullptr, settings["LAST_DOWNLOAD_DATE"]);
  EXPECT_EQ(24u, strlen(settings["LAST_DOWNLOAD_DATE"]));
  EXPECT_NE(nullptr, settings["CREATED_TIME"]);
  EXPECT_NE(nullptr, settings["UPDATED_TIME"]);
  // The spinner turned at least once and was cleared at the end.
  ASSERT_GE(display.spins.size(), 2u);
  EXPECT_TRUE(display.spins.front());
  EXPECT_FALSE(display.spins.back());
  EXPECT_EQ("Downloading", display.spinnerLabel);
  // The stored file loads, and the store hands it out.
  UpdaterStore s(store.c_str());
  UpdaterStoreItem device;
  ASSERT_TRUE(s.FindDevice(kSerial, &device));
  BirdFile bird = device.ReadBirdFile("1240.bird");
  EXPECT_EQ(1240u, bird.GetBuild());
  EXPECT_EQ("2.11.0", bird.GetVersion());
}

TEST_F(BuildRetrieval, BuildTexts) {
  StartServer();
  struct Case {
    const char* text;
    uint32_t result;
    const char* firstLine;
  } cases[] = {
      {"1234", 1234, "I:Retrieving build 1234"},
      {"0", 1240, "I:Retrieving build 1240"},
      {"1300abc", 1300, "I:Retrieving build 1300"},
      {"abc", 0, "E:Build number 'abc' must be an number"},
      {"99999999999", 0, "E:Build number '99999999999' must be an number"},
      {" 12", 0, "E:Build number ' 12' must be an number"},
      {"1235", 0, "I:Retrieving build 1235"},
  };
  for (const Case& c : cases) {
    display.lines.clear();
    Updater updater = MakeUpdater(server.Url());
    EXPECT_EQ(c.result, updater.Download_Firmware(kSerial, c.text, false, false)) << c.text;
    ASSERT_FALSE(display.lines.empty()) << c.text;
    EXPECT_EQ(c.firstLine, display.lines.front()) << c.text;
  }
  EXPECT_EQ("E:No valid build 1235", display.lines.back());
  EXPECT_EQ((std::vector<std::string>{".settings", "1234.bird", "1240.bird", "1300.bird"}), ListNames(DeviceDir()));
}

TEST_F(BuildRetrieval, SerialZeroRefused) {
  Updater updater = MakeUpdater("http://127.0.0.1:1/cgi/u");
  EXPECT_EQ(0u, updater.Download_Firmware(0, "", false, false));
  EXPECT_EQ(std::vector<std::string>{"Serial Number must be non-zero"}, Errors());
}

TEST_F(BuildRetrieval, OverrideSkipsValidation) {
  // The server's list is empty, so no build validates; with the override
  // the build is fetched all the same.
  StartServer({"--fault", "empty", "--fault-op", "builds"});
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ(0u, updater.Download_Firmware(kSerial, "1234", false, false));
  EXPECT_EQ("E:No valid build 1234", display.lines.back());
  display.lines.clear();
  EXPECT_EQ(1234u, updater.Download_Firmware(kSerial, "1234", true, false));
  EXPECT_EQ((std::vector<std::string>{"I:Retrieving build 1234",
                                      "I:Override specified, skipping validation of build 1234"}),
            display.lines);
  EXPECT_EQ(CatalogBird(1234), ReadText(DeviceDir() + "/1234.bird"));
}

TEST_F(BuildRetrieval, SlowAnswerKeepsSpinnerTurning) {
  StartServer({"--fault", "slow", "--fault-op", "bird", "--delay", "1"});
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ(1240u, updater.Download_Firmware(kSerial, "", false, false));
  // About ten redraws in one second; allow for a loaded machine.
  EXPECT_GE(display.spins.size(), 5u);
  EXPECT_FALSE(display.spins.back());
  for (size_t i = 0; i + 1 < display.spins.size(); ++i) EXPECT_TRUE(display.spins[i]);
}

// Every server fault: a clear message, no build number, and the store as
// it was before (an earlier fetch of 1234 stays, settings unchanged).
struct FaultCase {
  std::vector<std::string> options;
  std::vector<std::string> errors;  // "URL" stands for the server's base URL
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  for (const auto& o : c.options) *os << o << " ";
}

class BuildRetrievalFault : public BuildRetrieval, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BuildRetrievalFault, LeavesStoreUnchanged) {
  StartServer();
  ASSERT_EQ(1234u, MakeUpdater(server.Url()).Download_Firmware(kSerial, "1234", false, false));
  server.Stop();
  std::string settingsBefore = ReadText(DeviceDir() + "/.settings");
  std::string buildBefore = ReadText(DeviceDir() + "/1234.bird");
  StartServer(GetParam().options);
  display.lines.clear();
  EXPECT_EQ(0u, MakeUpdater(server.Url()).Download_Firmware(kSerial, "", false, false));
  std::vector<std::string> expected;
  for (std::string e : GetParam().errors) {
    size_t at = e.find("URL");
    if (at != std::string::npos) e.replace(at, 3, server.Url());
    expected.push_back(e);
  }
  EXPECT_EQ(expected, Errors());
  EXPECT_EQ(settingsBefore, ReadText(DeviceDir() + "/.settings"));
  EXPECT_EQ(buildBefore, ReadText(DeviceDir() + "/1234.bird"));
  EXPECT_EQ((std::vector<std::string>{".settings", "1234.bird"}), ListNames(DeviceDir()));
}

INSTANTIATE_TEST_SUITE_P(
    ServerFaults, BuildRetrievalFault,
    ::testing::Values(
        FaultCase{{"--fault", "http404"}, {"Server request failed for URL"}},
        FaultCase{{"--fault", "http500", "--fault-op", "qu"}, {"No build information for device"}},
        FaultCase{{"--fault", "notok", "--fault-op", "builds"}, {"No valid build 1240"}},
        FaultCase{{"--fault", "empty-body", "--fault-op", "bird"},
                  {"Download failed", "Failed to retrieve a valid BIRD file"}},
        FaultCase{{"--fault", "empty", "--fault-op", "bird"}, {"Failed to retrieve a valid BIRD file"}},
        FaultCase{{"--fault", "truncated-base64"},
                  {"The server's answer for build 1240 is not valid Base64; nothing was stored"}},
        FaultCase{{"--fault", "invalid-base64"},
                  {"The server's answer for build 1240 is not valid Base64; nothing was stored"}},
        FaultCase{{"--fault", "cut", "--fault-op", "bird"}, {"Download failed", "Failed to retrieve a valid BIRD file"}},
        FaultCase{{"--fault", "drop", "--fault-op", "bird"},
                  {"Download failed", "Failed to retrieve a valid BIRD file"}},
        FaultCase{{"--fault", "drop"},
                  {"Server request failed for URL", "Server returned nothing (no headers, no data)"}}));

TEST_F(BuildRetrieval, AnswerThatIsNotABirdFileIsNotStored) {
  // The server serves this file byte for byte but cannot list it.
  WriteText(catalog + "/devices/" + kSerialText + "/1500.bird", "this is not firmware");
  StartServer();
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ(0u, updater.Download_Firmware(kSerial, "1500", true, false));
  EXPECT_EQ(std::vector<std::string>{"The server sent build 1500, but it is not a valid BIRD file; nothing was stored"},
            Errors());
  EXPECT_EQ(std::vector<std::string>{".settings"}, ListNames(DeviceDir()));
  KeyValueStore settings((DeviceDir() + "/.settings").c_str());
  EXPECT_EQ(nullptr, settings["LATEST_DOWNLOAD"]);
}

TEST_F(BuildRetrieval, UnknownDeviceGetsFolderBeforeQuery) {
  StartServer();
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ(0u, updater.Download_Firmware(0x22222222, "", false, false));
  EXPECT_EQ(std::vector<std::string>{"No build information for device"}, Errors());
  EXPECT_EQ(std::vector<std::string>{".settings"}, ListNames(store + "/22222222"));
}

TEST_F(BuildRetrieval, StoreThatCannotBeOpened) {
  StartServer();
  WriteText(dir / "blocker", "x");
  store = dir / "blocker/updater";
  Updater updater = MakeUpdater(server.Url());
  EXPECT_EQ(0u, updater.Download_Firmware(kSerial, "", false, false));
  EXPECT_TRUE(updater.Get_BuildListLocal(kSerial).empty());
  std::string e = "Exception: UpdaterStore: Could not create directory " + store + " error 12";
  EXPECT_EQ((std::vector<std::string>{"Failed to Create UpdaterStore in: Download_Firmware - " + e,
                                      "Failed to Create UpdaterStore in: Get_BuildListLocal - " + e}),
            Errors());
}

TEST_F(BuildRetrieval, WriteFailureRecordsNothing) {
  StartServer();
  Updater updater = MakeUpdater(server.Url());
  ASSERT_EQ(1234u, updater.Download_Firmware(kSerial, "1234", false, false));
  std::string settingsBefore = ReadText(DeviceDir() + "/.settings");
  display.lines.clear();
  uint32_t result;
  {
    FileSizeLimit limit(512);  // the BIRD file does not fit
    result = updater.Download_Firmware(kSerial, "1240", false, false);
  }
  EXPECT_EQ(0u, result);
  EXPECT_EQ((std::vector<std::string>{"Failed to write file with 8",
                                      "Check that " + DeviceDir() + " is writable and has free space"}),
            Errors());
  EXPECT_EQ(settingsBefore, ReadText(DeviceDir() + "/.settings"));
  EXPECT_EQ((std::vector<std::string>{".settings", "1234.bird"}), ListNames(DeviceDir()));
}

TEST_F(BuildRetrieval, LocalBuildList) {
  Updater updater = MakeUpdater("http://127.0.0.1:1/cgi/u");
  EXPECT_TRUE(updater.Get_BuildListLocal(kSerial).empty());
  UpdaterStore s(store.c_str());
  s.AddDevice(kSerial);
  ASSERT_TRUE(MakeBird(DeviceDir() + "/100.bird", {100, "1.0.0"}));
  ASSERT_TRUE(MakeBird(DeviceDir() + "/101.bird", {101, "1.1.0"}));
  WriteText(DeviceDir() + "/102.bird", std::string("bird\x01\x01", 6) + "damaged");
  WriteText(DeviceDir() + "/notes.txt", "x");
  WriteText(DeviceDir() + "/103.bird.old", "x");
  EXPECT_EQ((BuildList{{"100", "1.0.0"}, {"101", "1.1.0"}, {"102", ""}, {"103", ""}, {"notes.txt", ""}}),
            updater.Get_BuildListLocal(kSerial));
  EXPECT_TRUE(display.lines.empty());
}
