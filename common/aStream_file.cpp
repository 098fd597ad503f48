// File streams: a file read byte by byte, or written by byte and by block,
// through the platform file services.
#include "common/aFile.h"
#include "common/aStream.h"

static aErr sFileGet(uint8_t* pData, void* ref) {
  aFileHandle file = static_cast<aFileHandle>(ref);
  if (!file) return aErrIO;
  return aFile_Read(file, pData, 1, NULL);
}

static aErr sFilePut(uint8_t data, void* ref) {
  aFileHandle file = static_cast<aFileHandle>(ref);
  if (!file) return aErrIO;
  return aFile_Write(file, &data, 1, NULL);
}

static aErr sFileWrite(const uint8_t* pData, uint64_t length, void* ref) {
  aFileHandle file = static_cast<aFileHandle>(ref);
  if (!file) return aErrIO;
  size_t written = 0;
  aErr err = aFile_Write(file, pData, length, &written);
  if (err == aErrNone && written != length) err = aErrIO;
  return err;
}

static aErr sFileDelete(void* ref) {
  aFileHandle file = static_cast<aFileHandle>(ref);
  return aFile_Close(&file);
}

static aErr sCreateFileStream(const char* path, aStreamRef* pStream, aFileMode mode) {
  if (!path || !pStream) return aErrResource;
  *pStream = NULL;
  aFileHandle file = aFile_Open(path, mode);
  if (!file) return aErrResource;
  aStreamRef s = mode == aFileModeReadOnly
                     ? aStream_Create(sFileGet, NULL, NULL, sFileDelete, file)
                     : aStream_Create(NULL, sFilePut, sFileWrite, sFileDelete, file);
  if (!s) {
    aFile_Close(&file);
    return aErrResource;
  }
  *pStream = s;
  return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStreamRef* pStream) {
  return sCreateFileStream(path, pStream, aFileModeReadOnly);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* pStream) {
  return sCreateFileStream(path, pStream, aFileModeWriteOnly);
}
