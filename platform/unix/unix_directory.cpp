// Directories over stat, mkdir, opendir/readdir and the user database.
#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/aDirectory.h"

namespace {

bool sPathOK(const char* path) {
  return path && strnlen(path, aDIRECTORY_MAXPATHLEN + 1) <= aDIRECTORY_MAXPATHLEN;
}

// Creates one directory; true when it exists afterwards (made now or before).
bool sMake(const std::string& path, uint32_t permissions) {
  return mkdir(path.c_str(), (mode_t)permissions) == 0 || errno == EEXIST;
}

// Copies text into buffer when it fits; aErrOverrun (buffer holds what fits)
// when it does not.
aErr sCopyOut(const char* text, char* buffer, size_t size) {
  size_t length = strlen(text);
  size_t copy = length < size ? length : size - 1;
  memcpy(buffer, text, copy);
  buffer[copy] = '\0';
  return copy == length ? aErrNone : aErrOverrun;
}

// Removes everything inside path, depth first. False when a file could not be
// removed (the walk ends there).
bool sDeleteContents(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return true;
  bool keepGoing = true;
  while (keepGoing) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) break;
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = BuildPath(path.c_str(), entry->d_name, (const char*)nullptr);
    struct stat st;
    // lstat: a link to a directory is removed as a link, never followed.
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      keepGoing = sDeleteContents(child);
      rmdir(child.c_str());
    } else if (unlink(child.c_str()) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", child.c_str());
      keepGoing = false;
    }
  }
  closedir(dir);
  return keepGoing;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
  if (!sPathOK(path)) return false;
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint32_t permissions) {
  if (!sPathOK(path)) return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;
  const char sep = aDIR_PATH_SEP[0];
  std::string full(path);

  // The deepest ancestor that exists: cut at the last separator until a
  // prefix is a directory or no separator is left.
  size_t start = 0;
  std::string prefix = full;
  for (;;) {
    size_t cut = prefix.rfind(sep);
    if (cut == std::string::npos) break;
    prefix.resize(cut);
    if (!prefix.empty() && aDirectory_Exists(prefix.c_str())) {
      start = cut + 1;
      break;
    }
  }

  // Create every missing directory below it; empty components (a//b, the
  // root of an absolute path) are skipped.
  for (size_t pos = full.find(sep, start); pos != std::string::npos;
       pos = full.find(sep, pos + 1)) {
    if (pos == 0 || full[pos - 1] == sep) continue;
    if (!sMake(full.substr(0, pos), permissions)) return aErrPermission;
  }
  if (!sMake(full, permissions)) return aErrPermission;
  // mkdir also reports EEXIST for a file in the way.
  return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* vpRef) {
  if (!sPathOK(path) || !callback) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;
  char entryPath[aDIRECTORY_LISTPATHLEN];
  for (;;) {
    struct dirent* entry = readdir(dir);
    if (!entry) break;
    // A path that does not fit would name another file: pass over it.
    if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone)
      continue;
    struct stat st;
    if (stat(entryPath, &st) != 0) continue;
    aDirectoryListData data;
    data.filePath = entryPath;
    data.fileSize = st.st_size > (off_t)UINT32_MAX ? UINT32_MAX : (uint32_t)st.st_size;
    data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    if (!callback(&data, vpRef)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (!sPathOK(path)) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (!sPathOK(path)) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;
  closedir(dir);
  sDeleteContents(path);
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  buffer[0] = '\0';
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? (size_t)hint : 16384);
  struct passwd record;
  struct passwd* found = nullptr;
  while (getpwuid_r(getuid(), &record, scratch.data(), scratch.size(), &found) == ERANGE &&
         scratch.size() < (1u << 20))
    scratch.resize(scratch.size() * 2);
  if (found && found->pw_dir && found->pw_dir[0]) return sCopyOut(found->pw_dir, buffer, size);
  const char* home = getenv("HOME");
  if (home && home[0]) return sCopyOut(home, buffer, size);
  return aErrNotFound;
}
