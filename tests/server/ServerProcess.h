// Test helpers: a temporary directory, the local update server as a child
// process, a catalog of BIRD files made with birdtool, and a test CA.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace servertest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs a program to its end and returns its exit status (-1 when it could
// not be started or did not exit normally).
int Run(const std::vector<std::string>& argv);

// Writes a BIRD file for one build with birdtool; true on success.
bool MakeBird(const std::string& path, unsigned build, const std::string& version, unsigned serial);

// Makes a test CA and a server certificate for 127.0.0.1/localhost in dir
// (ca.pem, server.pem, server.key); true on success.
bool MakeTestCA(const std::string& dir);

// Writes text to a file; true on success.
bool WriteText(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// The local update server, started with the given options and stopped
// (SIGTERM, then SIGKILL) when the object goes.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the server and waits (at most 20 s) for its base URL. Returns
  // false when it did not start; the reason is in error().
  bool Start(const std::vector<std::string>& options, const std::string& stderrPath);
  void Stop();
  const std::string& url() const { return url_; }
  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
  std::string error_;
};

}  // namespace servertest
