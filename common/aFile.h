// Files: a thin layer over buffered streams. Every operation takes an
// aFileHandle made by aFile_Open and reports failures as aErr codes; nothing
// here throws or prints. A handle is used by one thread at a time.
#pragma once

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

// Longest path, in characters, that the file and directory services accept.
#define aFILE_MAXPATHLEN 4096

// Open modes.
typedef uint32_t aFileMode;
#define aFileModeReadOnly 0u   // read an existing file
#define aFileModeWriteOnly 1u  // create or truncate, then write
#define aFileModeAppend 2u     // create if missing, write at the end; reading allowed

// Seek origins.
typedef uint32_t aFileSeekOrigin;
#define aSeekStart 0u
#define aSeekCurrent 1u
#define aSeekEnd 2u

// Opaque open file; owned by whoever opened it, released by aFile_Close.
typedef struct aFile* aFileHandle;

// True when path is non-null, at most aFILE_MAXPATHLEN characters, exists and
// is not a directory.
bool aFile_Exists(const char* path);

// Returns a new open file; the caller closes it with aFile_Close. Null when
// path is null, empty or too long, mode is not one of the three, memory runs
// out or the file cannot be opened.
aFileHandle aFile_Open(const char* path, aFileMode mode);

// Closes the file and frees the handle; *phFile is set to null in every case.
// aErrParam for a null or already closed handle, aErrIO when the close fails
// (buffered data may be lost).
aErr aFile_Close(aFileHandle* phFile);

// Reads up to length bytes; *pNRead (optional) gets the count. A short read is
// success. aErrParam (bad handle or null buffer), aErrMode (not opened for
// read or append), aErrEOF when nothing was read although length > 0 (aErrIO
// when that was a read error).
aErr aFile_Read(aFileHandle hFile, uint8_t* pBuffer, size_t length, size_t* pNRead);

// Writes length bytes; *pNWritten (optional) gets the count. aErrParam,
// aErrMode (not opened for write or append), aErrIO when fewer than length
// bytes were written.
aErr aFile_Write(aFileHandle hFile, const uint8_t* pData, size_t length, size_t* pNWritten);

// Moves to base(origin) + offset. aErrParam (bad handle or origin), aErrRange
// when the target is outside 0..size, aErrIO when a position query or the
// seek fails.
aErr aFile_Seek(aFileHandle hFile, int64_t offset, aFileSeekOrigin origin);

// Stores the file's size in *pSize; the position is unchanged. aErrParam for
// a bad handle or null pSize, aErrIO (and size 0) when it cannot be measured.
aErr aFile_GetSize(aFileHandle hFile, size_t* pSize);

// Reads one line including its newline into pBuffer (always terminated) and
// its length into *pLength (optional). aErrParam (also for a buffer of fewer
// than 2 bytes), aErrMode, aErrEOF at end of file, aErrIO on a read error,
// aErrOverrun when the buffer filled before the newline (the rest of the line
// comes with the next call; a last line that just fills it is complete).
aErr aFile_ReadLine(aFileHandle hFile, char* pBuffer, size_t bufferSize, size_t* pLength);

// Formatted write. aErrParam, aErrMode (not write or append), aErrIO when
// formatting or writing fails.
aErr aFile_Printf(aFileHandle hFile, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// As aFile_Printf with a va_list.
aErr aFile_VPrintf(aFileHandle hFile, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// Switches the stream's buffering off. aErrParam; aErrMode when not opened
// for write or append or when buffering cannot be switched off.
aErr aFile_SetUnbuffered(aFileHandle hFile);

// Removes a file. aErrParam (null), aErrFileNameLength (too long),
// aErrNotFound (no such file), aErrPermission (access denied), else aErrIO.
aErr aFile_Delete(const char* path);

#ifdef __cplusplus
}
#endif
