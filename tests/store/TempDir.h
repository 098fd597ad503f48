// Test helpers: a scratch directory removed at the end of the test, file
// reading and writing, and a file-size limit that makes writes fail for real.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/aDirectory.h"

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/updater-store-XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) aDirectory_DeleteTree(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Names in a directory other than "." and "..", sorted.
inline std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  aDirectory_List(
      dir.c_str(),
      [](const aDirectoryListData* entry, void* ref) {
        std::string full(entry->filePath);
        std::string name = full.substr(full.find_last_of('/') + 1);
        if (name != "." && name != "..") static_cast<std::vector<std::string>*>(ref)->push_back(name);
        return true;
      },
      &names);
  std::sort(names.begin(), names.end());
  return names;
}

// While alive, no file of this process may grow beyond `bytes`: a write past
// the limit fails with EFBIG, as on a full device (SIGXFSZ is ignored).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  struct rlimit saved_;
  sighandler_t previous_;
};
