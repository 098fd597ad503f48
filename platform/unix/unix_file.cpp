// Files over stdio streams.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <new>

#include "common/aFile.h"

namespace {

constexpr uint16_t kFileCheck = 0xFEED;

// What the stream did last; C streams need a positioning call between a
// write and a following read (and the other way round) on update streams.
enum class LastOp { None, Read, Write };

}  // namespace

struct aFile {
  FILE* fp;
  aFileMode mode;
  uint16_t check;
  LastOp last;
};

namespace {

bool sValid(const aFile* f) { return f && f->check == kFileCheck && f->fp; }

bool sPathOK(const char* path) {
  return path && path[0] != '\0' && strnlen(path, aFILE_MAXPATHLEN + 1) <= aFILE_MAXPATHLEN;
}

bool sCanRead(const aFile* f) { return f->mode == aFileModeReadOnly || f->mode == aFileModeAppend; }

bool sCanWrite(const aFile* f) { return f->mode == aFileModeWriteOnly || f->mode == aFileModeAppend; }

// Prepares the stream for an operation of kind op: switching between reading
// and writing goes through a seek to the current position.
bool sSwitchTo(aFile* f, LastOp op) {
  if (f->last != LastOp::None && f->last != op && fseeko(f->fp, 0, SEEK_CUR) != 0) return false;
  f->last = op;
  return true;
}

// Measures the size by seeking to the end and back.
aErr sSize(aFile* f, off_t* pSize) {
  *pSize = 0;
  off_t saved = ftello(f->fp);
  if (saved < 0) return aErrIO;
  if (fseeko(f->fp, 0, SEEK_END) != 0) return aErrIO;
  off_t end = ftello(f->fp);
  if (fseeko(f->fp, saved, SEEK_SET) != 0 || end < 0) return aErrIO;
  f->last = LastOp::None;
  *pSize = end;
  return aErrNone;
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (!path || strnlen(path, aFILE_MAXPATHLEN + 1) > aFILE_MAXPATHLEN) return false;
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileHandle aFile_Open(const char* path, aFileMode mode) {
  if (!sPathOK(path)) return nullptr;
  const char* how;
  switch (mode) {
    case aFileModeReadOnly: how = "rb"; break;
    case aFileModeWriteOnly: how = "wb"; break;
    case aFileModeAppend: how = "ab+"; break;
    default: return nullptr;
  }
  aFile* f = new (std::nothrow) aFile{nullptr, mode, 0, LastOp::None};
  if (!f) return nullptr;
  f->fp = fopen(path, how);
  if (!f->fp) {
    delete f;
    return nullptr;
  }
  // Append streams start at the end, for readers as well as writers.
  if (mode == aFileModeAppend) fseeko(f->fp, 0, SEEK_END);
  f->check = kFileCheck;
  return f;
}

aErr aFile_Close(aFileHandle* phFile) {
  if (!phFile) return aErrParam;
  aFile* f = *phFile;
  *phFile = nullptr;
  if (!sValid(f)) return aErrParam;
  f->check = 0;
  // A failed close can mean buffered data was lost: report it.
  aErr result = fclose(f->fp) == 0 ? aErrNone : aErrIO;
  delete f;
  return result;
}

aErr aFile_Read(aFileHandle hFile, uint8_t* pBuffer, size_t length, size_t* pNRead) {
  if (pNRead) *pNRead = 0;
  if (!sValid(hFile) || !pBuffer) return aErrParam;
  if (!sCanRead(hFile)) return aErrMode;
  if (!sSwitchTo(hFile, LastOp::Read)) return aErrIO;
  size_t n = length ? fread(pBuffer, 1, length, hFile->fp) : 0;
  if (pNRead) *pNRead = n;
  if (n == 0 && length > 0) return ferror(hFile->fp) ? aErrIO : aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFileHandle hFile, const uint8_t* pData, size_t length, size_t* pNWritten) {
  if (pNWritten) *pNWritten = 0;
  if (!sValid(hFile) || !pData) return aErrParam;
  if (!sCanWrite(hFile)) return aErrMode;
  if (!sSwitchTo(hFile, LastOp::Write)) return aErrIO;
  size_t n = length ? fwrite(pData, 1, length, hFile->fp) : 0;
  if (pNWritten) *pNWritten = n;
  // A short write loses data: it is an error, not a partial success.
  return n < length ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileHandle hFile, int64_t offset, aFileSeekOrigin origin) {
  if (!sValid(hFile)) return aErrParam;
  off_t size = 0;
  if (sSize(hFile, &size) != aErrNone) return aErrIO;
  off_t base;
  switch (origin) {
    case aSeekStart: base = 0; break;
    case aSeekCurrent:
      base = ftello(hFile->fp);
      if (base < 0) return aErrIO;
      break;
    case aSeekEnd: base = size; break;
    default: return aErrParam;
  }
  // base and size are non-negative, so base - offset cannot overflow when the
  // target is checked as offset against the distances to 0 and to size.
  if (offset < -(int64_t)base || offset > (int64_t)size - (int64_t)base) return aErrRange;
  if (fseeko(hFile->fp, (off_t)(base + offset), SEEK_SET) != 0) return aErrIO;
  hFile->last = LastOp::None;
  return aErrNone;
}

aErr aFile_GetSize(aFileHandle hFile, size_t* pSize) {
  if (!pSize) return aErrParam;
  *pSize = 0;
  if (!sValid(hFile)) return aErrParam;
  off_t size = 0;
  aErr e = sSize(hFile, &size);
  if (e == aErrNone) *pSize = (size_t)size;
  return e;
}

aErr aFile_ReadLine(aFileHandle hFile, char* pBuffer, size_t bufferSize, size_t* pLength) {
  if (pLength) *pLength = 0;
  if (pBuffer && bufferSize > 0) memset(pBuffer, 0, bufferSize);
  // One character and the terminator is the least that can hold any text.
  if (!sValid(hFile) || !pBuffer || bufferSize < 2) return aErrParam;
  if (!sCanRead(hFile)) return aErrMode;
  if (!sSwitchTo(hFile, LastOp::Read)) return aErrIO;
  int capacity = bufferSize > (size_t)INT32_MAX ? INT32_MAX : (int)bufferSize;
  if (!fgets(pBuffer, capacity, hFile->fp)) {
    pBuffer[0] = '\0';
    return ferror(hFile->fp) ? aErrIO : aErrEOF;
  }
  size_t length = strlen(pBuffer);
  if (pLength) *pLength = length;
  if (length == (size_t)capacity - 1 && pBuffer[length - 1] != '\n') {
    // The buffer is full without a newline. At the end of the file the line
    // is complete; otherwise the rest comes with the next call.
    int next = fgetc(hFile->fp);
    if (next == EOF) return ferror(hFile->fp) ? aErrIO : aErrNone;
    ungetc(next, hFile->fp);
    return aErrOverrun;
  }
  return aErrNone;
}

aErr aFile_VPrintf(aFileHandle hFile, const char* format, va_list args) {
  if (!sValid(hFile) || !format) return aErrParam;
  if (!sCanWrite(hFile)) return aErrMode;
  if (!sSwitchTo(hFile, LastOp::Write)) return aErrIO;
  return vfprintf(hFile->fp, format, args) < 0 ? aErrIO : aErrNone;
}

aErr aFile_Printf(aFileHandle hFile, const char* format, ...) {
  va_list args;
  va_start(args, format);
  aErr e = aFile_VPrintf(hFile, format, args);
  va_end(args);
  return e;
}

aErr aFile_SetUnbuffered(aFileHandle hFile) {
  if (!sValid(hFile)) return aErrParam;
  if (!sCanWrite(hFile)) return aErrMode;
  fflush(hFile->fp);
  return setvbuf(hFile->fp, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Delete(const char* path) {
  if (!path) return aErrParam;
  if (strnlen(path, aFILE_MAXPATHLEN + 1) > aFILE_MAXPATHLEN) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}
