// Test support: running programs with bounded waits, making BIRD files with
// birdtool, and running the local update server on a catalog directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct RunResult {
  int status = -1;  // exit status; -1 when it did not exit normally or timed out
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs argv[0] with the arguments and the extra environment entries
// ("NAME=value"; "NAME=" with nothing after it removes NAME), capturing both
// output streams. The program is killed when it runs longer than timeoutMs.
RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     int timeoutMs = 60000);

struct BirdSpec {
  unsigned build;
  std::string version;
  std::string model = "Hub8";
  int firmwareBytes = 2048;
};

// Writes a BIRD file with birdtool; false (with a test failure) on error.
bool MakeBird(const std::string& path, const BirdSpec& spec);

// A catalog device folder: catalog/devices/SERIAL with the builds, an
// optional token and an optional "latest" build.
bool MakeCatalogDevice(const std::string& catalog, const std::string& serial, const std::vector<BirdSpec>& builds,
                       const std::string& token = "", const std::string& latest = "");

class LocalServer {
 public:
  LocalServer() = default;
  ~LocalServer() { Stop(); }
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Starts the server on the catalog with extra options (e.g. "--fault",
  // "http404"); with a certificate directory from MakeTestCA it serves HTTPS.
  // Returns the base URL, or "" when it did not come up within 60 s.
  std::string Start(const std::string& catalog, const std::vector<std::string>& options = {},
                    const std::string& certDir = "");
  void Stop();
  const std::string& Url() const { return url_; }
  // What the server wrote to standard error (one line per request).
  std::string Diagnostics() const;

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string url_;
  std::string logPath_;
};

// Makes a test CA and server certificate in dir (ca.pem, server.pem, server.key).
bool MakeTestCA(const std::string& dir);

std::string ReadFileText(const std::string& path);
