// The updater executable end to end against the local update server, over
// HTTP and HTTPS: -B, -L, -G, -J and -I with their messages, exit statuses
// and what they leave in the store, and every server fault.
#include <gtest/gtest.h>

#include <ctype.h>

#include <map>
#include <regex>

#include "common/aDirectory.h"
#include "tests/e2e_builds/LocalServer.h"
#include "tests/store/TempDir.h"

namespace {

const char* const kSerial = "0A1B2C3D";
const char* const kPreloadDate = "Thu Mar 12 14:03:27 2026";

// Every file under dir, by path relative to dir, with its contents.
void Snapshot(const std::string& dir, const std::string& prefix, std::map<std::string, std::string>& files) {
  struct Ctx {
    std::vector<std::pair<std::string, bool>> entries;
  } ctx;
  aDirectory_List(
      dir.c_str(),
      [](const aDirectoryListData* e, void* ref) {
        std::string full(e->filePath);
        std::string name = full.substr(full.find_last_of('/') + 1);
        if (name != "." && name != "..") static_cast<Ctx*>(ref)->entries.emplace_back(name, e->isDirectory != 0);
        return true;
      },
      &ctx);
  for (const auto& e : ctx.entries) {
    if (e.second) {
      files[prefix + e.first + "/"] = "";
      Snapshot(dir + "/" + e.first, prefix + e.first + "/", files);
    } else {
      files[prefix + e.first] = ReadText(dir + "/" + e.first);
    }
  }
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  Snapshot(dir, "", files);
  return files;
}

enum class StoreAfter { Unchanged, Changed };

struct Case {
  const char* name;
  std::vector<std::string> serverOptions;  // faults for the server
  bool preload;                            // store starts with build 1234 of the device
  std::vector<std::string> args;           // after -i STORE -u URL
  int status;
  std::vector<std::string> out;  // lines expected on standard output, in this order ({URL}, {STORE})
  std::vector<std::string> err;  // lines expected on standard error, in this order
  StoreAfter store;
  std::vector<std::string> deviceFiles;           // names in the device folder afterwards
  std::map<std::string, std::string> settings;    // keys expected in .settings ("*": any time stamp)
};

// True when `needles` occur in `lines` in the same order.
::testing::AssertionResult HasLinesInOrder(const std::string& text, const std::vector<std::string>& needles) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  size_t at = 0;
  for (const std::string& n : needles) {
    while (at < lines.size() && lines[at] != n) ++at;
    if (at == lines.size()) return ::testing::AssertionFailure() << "missing line [" << n << "] in:\n" << text;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

const std::vector<std::string> kBriefUsage = {"Application Usage:"};

std::vector<Case> Cases() {
  const std::string B = "Build          \tVersion        ";
  return {
      {"list server builds", {}, false, {"-B", "-d", kSerial}, 0,
       {"Build List for device [0A1B2C3D]:", "", B, "1240           \t2.11.0         ",
        "1234           \t2.10.3         ", "1300           \t2.9.9          "},
       {}, StoreAfter::Unchanged, {}, {}},
      {"list builds of an unknown device", {}, false, {"-B", "-d", "11111111"}, 0,
       {"No builds found for device [11111111]"}, {"Failed to retrieve builds for 11111111"},
       StoreAfter::Unchanged, {}, {}},
      {"list builds without a device", {}, false, {"-B"}, 1, {},
       {"Error must supply a serial number for the List Builds command", "Application Usage:"},
       StoreAfter::Unchanged, {}, {}},
      {"fetch the latest build", {}, false, {"-G", "-d", kSerial}, 0,
       {"Retrieving firmware for device with serial number 0A1B2C3D", "No build specified", "Using Latest build",
        "Retrieving build 1240", "Validating build 1240 with server", "Build 1240 is valid"},
       {}, StoreAfter::Changed, {".settings", "1240.bird"},
       {{"LATEST_DOWNLOAD", "1240.bird"}, {"LAST_DOWNLOAD_DATE", "*"}, {"CREATED_TIME", "*"}, {"UPDATED_TIME", "*"}}},
      {"fetch a given build", {}, true, {"-G", "-d", kSerial, "-b", "1300"}, 0,
       {"Retrieving firmware build 1300", "Retrieving build 1300", "Build 1300 is valid"}, {},
       StoreAfter::Changed, {".settings", "1234.bird", "1300.bird"},
       {{"LATEST_DOWNLOAD", "1300.bird"}, {"LAST_DOWNLOAD_DATE", "*"}, {"UPDATED_TIME", "*"}}},
      {"fetch a build text that is not a number", {}, false, {"-G", "-d", kSerial, "-b", "abc"}, 0,
       {"Retrieving firmware build 0", "Retrieving build 1240"}, {}, StoreAfter::Changed,
       {".settings", "1240.bird"}, {{"LATEST_DOWNLOAD", "1240.bird"}}},
      {"fetch a build the server does not offer", {}, true, {"-G", "-d", kSerial, "-b", "1235"}, 1,
       {"Retrieving firmware build 1235", "Retrieving build 1235", "Validating build 1235 with server"},
       {"No valid build 1235"}, StoreAfter::Unchanged, {}, {}},
      {"fetch an unlisted build with -OVERRIDE", {"--fault", "empty", "--fault-op", "builds"}, false,
       {"-G", "-d", kSerial, "-b", "1234", "-OVERRIDE"}, 0,
       {"Retrieving build 1234", "Override specified, skipping validation of build 1234"}, {},
       StoreAfter::Changed, {".settings", "1234.bird"}, {{"LATEST_DOWNLOAD", "1234.bird"}}},
      {"unlisted build without -OVERRIDE", {"--fault", "empty", "--fault-op", "builds"}, false,
       {"-G", "-d", kSerial, "-b", "1234"}, 1, {}, {"No valid build 1234"}, StoreAfter::Changed,
       {".settings"}, {}},
      {"fetch without a device", {}, true, {"-G"}, 1, {},
       {"-G must specify a specific device via -d", "--help for usage information"}, StoreAfter::Unchanged, {}, {}},
      {"list stored builds", {}, true, {"-L", "-d", kSerial}, 0,
       {"Build List for device [0A1B2C3D]:", "", B, "1234           \t2.10.3         "}, {},
       StoreAfter::Unchanged, {}, {}},
      {"list stored builds of a device not in the store", {}, false, {"-L", "-d", kSerial}, 0,
       {"No builds found for device [0A1B2C3D]"}, {}, StoreAfter::Unchanged, {}, {}},
      {"list stored builds without a device", {}, true, {"-L"}, 1, {},
       {"Error must supply a serial number for the List Local Builds command", "Application Usage:"},
       StoreAfter::Unchanged, {}, {}},
      {"token", {}, false, {"-J", "-d", kSerial}, 0, {"aaa.bbbb.cccccc"}, {}, StoreAfter::Unchanged, {}, {}},
      {"token of an unknown device", {}, false, {"-J", "-d", "11111111"}, 0, {},
       {"Failed to retrieve jwt for 11111111"}, StoreAfter::Unchanged, {}, {}},
      {"token without a device", {}, false, {"-J"}, 1, {},
       {"Error must supply a serial number for the Get JWT command", "Application Usage:"},
       StoreAfter::Unchanged, {}, {}},
      {"device information", {}, true, {"-I", "-d", kSerial}, 0,
       {"Settings:", "    LAST_DOWNLOAD_DATE=Thu Mar 12 14:03:27 2026", "    LATEST_DOWNLOAD=1234.bird",
        "Build List for device [0A1B2C3D]:", "", B, "1234           \t2.10.3         "},
       {}, StoreAfter::Unchanged, {}, {}},
      {"information on a device not in the store", {}, true, {"-I", "-d", "11111111"}, 1, {},
       {"Fetch a build for it with -G -d 11111111, or check -i"}, StoreAfter::Unchanged, {}, {}},
      {"information on every device", {}, true, {"-I"}, 0,
       {"Device  \tLatest download\tDownload date           \tLatest transfer\tTransfer date           ",
        "0A1B2C3D\t1234.bird      \tThu Mar 12 14:03:27 2026\t-              \t-                       "},
       {}, StoreAfter::Unchanged, {}, {}},
      {"information on an empty store", {}, false, {"-I"}, 0, {"No devices in the store at {STORE}/updater"}, {},
       StoreAfter::Unchanged, {}, {}},
      {"fetch then list in one run", {}, false, {"-G", "-L", "-d", kSerial}, 0,
       {"Build 1240 is valid", "Build List for device [0A1B2C3D]:", "", B, "1240           \t2.11.0         "}, {},
       StoreAfter::Changed, {".settings", "1240.bird"}, {{"LATEST_DOWNLOAD", "1240.bird"}}},
  };
}

// Server faults: every command reports them clearly and the store stays as it was.
std::vector<Case> FaultCases() {
  std::vector<Case> cases;
  struct Fault {
    std::vector<std::string> options;
    std::vector<std::string> getErrors;
  } faults[] = {
      {{"--fault", "http404"}, {"Server request failed for {URL}"}},
      {{"--fault", "http500"}, {"Server request failed for {URL}"}},
      {{"--fault", "notok"}, {"Server request failed for {URL}"}},
      {{"--fault", "empty-body"}, {"Server request failed for {URL}"}},
      {{"--fault", "drop"}, {"Server request failed for {URL}"}},
      {{"--fault", "cut"}, {"Server request failed for {URL}"}},
      {{"--fault", "http500", "--fault-op", "qu"}, {"No build information for device"}},
      {{"--fault", "empty", "--fault-op", "bird"}, {"Failed to retrieve a valid BIRD file"}},
      {{"--fault", "drop", "--fault-op", "bird"}, {"Download failed", "Failed to retrieve a valid BIRD file"}},
      {{"--fault", "truncated-base64"},
       {"The server's answer for build 1240 is not valid Base64; nothing was stored"}},
  };
  for (const Fault& f : faults) {
    cases.push_back({"fetch under a fault", f.options, true, {"-G", "-d", kSerial}, 1, {}, f.getErrors,
                     StoreAfter::Unchanged, {}, {}});
  }
  cases.push_back({"list under a fault", {"--fault", "http500"}, true, {"-B", "-d", kSerial}, 0,
                   {"No builds found for device [0A1B2C3D]"}, {"Server request failed for {URL}"},
                   StoreAfter::Unchanged, {}, {}});
  cases.push_back({"list when the list request fails", {"--fault", "notok", "--fault-op", "builds"}, true,
                   {"-B", "-d", kSerial}, 0, {"No builds found for device [0A1B2C3D]"},
                   {"Failed to retrieve builds for 0A1B2C3D"}, StoreAfter::Unchanged, {}, {}});
  cases.push_back({"token under a fault", {"--fault", "empty", "--fault-op", "ent_jwt"}, true,
                   {"-J", "-d", kSerial}, 0, {}, {"Failed to retrieve jwt for 0A1B2C3D"}, StoreAfter::Unchanged,
                   {}, {}});
  return cases;
}

struct Param {
  std::string scheme;
  Case c;
};

void PrintTo(const Param& p, std::ostream* os) { *os << p.scheme << ": " << p.c.name; }

std::vector<Param> Params(const std::vector<Case>& cases) {
  std::vector<Param> params;
  for (const char* scheme : {"http", "https"}) {
    for (const Case& c : cases) params.push_back({scheme, c});
  }
  return params;
}

std::string ParamName(const ::testing::TestParamInfo<Param>& info) {
  std::string name = info.param.scheme + "_" + info.param.c.name;
  for (char& ch : name) {
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name + "_" + std::to_string(info.index);
}

class EndToEndBuilds : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    https = GetParam().scheme == "https";
    catalog = dir / "catalog";
    ASSERT_TRUE(MakeCatalogDevice(catalog, kSerial, {{1234, "2.10.3"}, {1240, "2.11.0"}, {1300, "2.9.9"}},
                                  "aaa.bbbb.cccccc", "1240"));
    if (https) {
      certs = dir / "certs";
      ASSERT_TRUE(MakeTestCA(certs));
    }
  }

  std::vector<std::string> Env() const {
    if (!https) return {};
    return {"CURL_CA_BUNDLE=" + certs + "/ca.pem"};
  }

  void Preload(const std::string& storeRoot) {
    std::string device = storeRoot + "/updater/" + kSerial;
    ASSERT_EQ(aErrNone, aDirectory_Ensure(device.c_str(), 0755));
    WriteText(device + "/1234.bird", ReadText(catalog + "/devices/" + kSerial + "/1234.bird"));
    WriteText(device + "/.settings", std::string("CREATED_TIME=Thu Mar 12 14:00:00 2026\nLAST_DOWNLOAD_DATE=") +
                                         kPreloadDate + "\nLATEST_DOWNLOAD=1234.bird\n" +
                                         "UPDATED_TIME=Thu Mar 12 14:03:27 2026\n");
  }

  void RunCase(const Case& c) {
    LocalServer server;
    std::string url = server.Start(catalog, c.serverOptions, certs);
    ASSERT_NE("", url) << server.Diagnostics();
    TempDir storeRoot;
    // The store directory exists as an empty folder, as the tool leaves it.
    ASSERT_EQ(aErrNone, aDirectory_Ensure((storeRoot.path() + "/updater").c_str(), 0755));
    if (c.preload) Preload(storeRoot.path());
    auto before = Snapshot(storeRoot.path());

    std::vector<std::string> argv = {UPDATER_PATH, "-i", storeRoot.path(), "-u", url};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(argv, Env(), 60000);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(c.status, r.status) << "stdout:\n" << r.out << "stderr:\n" << r.err;
    auto fill = [&](std::vector<std::string> lines) {
      for (auto& l : lines) {
        size_t at = l.find("{URL}");
        if (at != std::string::npos) l.replace(at, 5, url);
        at = l.find("{STORE}");
        if (at != std::string::npos) l.replace(at, 7, storeRoot.path());
      }
      return lines;
    };
    EXPECT_TRUE(HasLinesInOrder(r.out, fill(c.out)));
    EXPECT_TRUE(HasLinesInOrder(r.err, fill(c.err)));

    auto after = Snapshot(storeRoot.path());
    if (c.store == StoreAfter::Unchanged) {
      EXPECT_EQ(before, after);
      return;
    }
    std::string device = storeRoot.path() + "/updater/" + kSerial;
    EXPECT_EQ(c.deviceFiles, ListNames(device));
    for (const std::string& f : c.deviceFiles) {
      if (f.size() > 5 && f.substr(f.size() - 5) == ".bird") {
        EXPECT_EQ(ReadText(catalog + "/devices/" + kSerial + "/" + f), ReadText(device + "/" + f)) << f;
      }
    }
    std::string settings = ReadText(device + "/.settings");
    for (const auto& kv : c.settings) {
      std::string pattern = kv.second == "*" ? "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}"
                                             : std::regex_replace(kv.second, std::regex("[.]"), "\\.");
      EXPECT_TRUE(std::regex_search(settings, std::regex("(^|\n)" + kv.first + "=" + pattern + "\n")))
          << kv.first << " in:\n" << settings;
    }
  }

  bool https = false;
  TempDir dir;
  std::string catalog;
  std::string certs;
};

}  // namespace

TEST_P(EndToEndBuilds, Run) { RunCase(GetParam().c); }

INSTANTIATE_TEST_SUITE_P(Commands, EndToEndBuilds, ::testing::ValuesIn(Params(Cases())), ParamName);
INSTANTIATE_TEST_SUITE_P(ServerFaults, EndToEndBuilds, ::testing::ValuesIn(Params(FaultCases())), ParamName);

// Without the test CA in CURL_CA_BUNDLE the tool refuses the server and
// stores nothing.
TEST(EndToEndBuildsTls, UntrustedServerIsRefused) {
  TempDir dir;
  std::string catalog = dir / "catalog";
  ASSERT_TRUE(MakeCatalogDevice(catalog, kSerial, {{1234, "2.10.3"}}, "aaa.bbbb.cccccc"));
  ASSERT_TRUE(MakeTestCA(dir / "certs"));
  LocalServer server;
  std::string url = server.Start(catalog, {}, dir / "certs");
  ASSERT_NE("", url);
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{"-G", "-d", kSerial}, 1}, {{"-B", "-d", kSerial}, 0}, {{"-J", "-d", kSerial}, 0}};
  for (const Case& c : cases) {
    TempDir store;
    std::vector<std::string> argv = {UPDATER_PATH, "-i", store.path(), "-u", url};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(argv, {"CURL_CA_BUNDLE="});
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_TRUE(HasLinesInOrder(r.err, {"Server request failed for " + url})) << c.args[0];
    // The user is told why: the certificate, and what to do about it.
    EXPECT_NE(std::string::npos, r.err.find("\nThe server's certificate could not be verified ("))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("CURL_CA_BUNDLE.\n")) << r.err;
    EXPECT_EQ((std::vector<std::string>{"updater"}), ListNames(store.path()));
    EXPECT_TRUE(ListNames(store.path() + "/updater").empty());
  }
}
