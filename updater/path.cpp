#include "updater/path.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<unsigned> s_tempCounter{0};

// Opens a fresh temporary file next to `path`; returns its descriptor or -1.
int _open_temp(const std::string& path, std::string& tempPath) {
  std::string dir = path_Directory(path);
  std::string name = path_FileName(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".tmp%ld.%u", static_cast<long>(getpid()),
             s_tempCounter.fetch_add(1));
    tempPath = dir + "/." + name + suffix;
    // 0666 so that the process umask gives the file the usual permissions.
    int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool _write_all(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Makes the rename itself durable; failure here loses nothing already renamed.
void _sync_directory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::string path_Directory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string path_FileName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

aErr path_ReplaceFile(const char* path, const void* data, size_t length, int* error) {
  if (error) *error = 0;
  if (path == nullptr || *path == '\0' || (data == nullptr && length > 0)) return aErrParam;
  std::string target(path);
  std::string tempPath;
  int fd = _open_temp(target, tempPath);
  if (fd < 0) {
    if (error) *error = errno;
    return aErrNotFound;
  }
  bool ok = _write_all(fd, static_cast<const unsigned char*>(data), length) && fsync(fd) == 0;
  int savedErrno = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(tempPath.c_str(), target.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlink(tempPath.c_str());
    if (error) *error = savedErrno;
    return aErrWrite;
  }
  _sync_directory(path_Directory(target));
  return aErrNone;
}
