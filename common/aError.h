// Result codes of the device library. Every library operation returns one;
// 0 (aErrNone) is success.
#pragma once

#include <stdint.h>

typedef enum {
  aErrNone = 0,
  aErrMemory,
  aErrParam,
  aErrNotFound,
  aErrFileNameLength,
  aErrBusy,
  aErrIO,
  aErrMode,
  aErrWrite,
  aErrRead,
  aErrEOF,
  aErrNotReady,
  aErrPermission,
  aErrRange,
  aErrSize,
  aErrOverrun,
  aErrParse,
  aErrConfiguration,
  aErrTimeout,
  aErrInitialization,
  aErrVersion,
  aErrUnimplemented,
  aErrDuplicate,
  aErrCancel,
  aErrPacket,
  aErrConnection,
  aErrIndexRange,
  aErrShortCommand,
  aErrInvalidEntity,
  aErrInvalidOption,
  aErrResource,
  aErrMedia,
  aErrAsyncReturn,
  aErrStreamStale,
  aErrUnknown
} aErrCode;

// Codes travel as plain unsigned numbers.
typedef uint32_t aErr;

// Name of a code ("aErrTimeout"); codes above aErrUnknown give "aErrUnknown".
const char* aError_GetErrorText(aErr code);
// Description of a code ("Timeout occurred"); codes above aErrUnknown give
// the description of aErrUnknown.
const char* aError_GetErrorDescription(aErr code);
