// Path building: the portable part of the directory service.
#include "common/aDirectory.h"

#include <stdarg.h>
#include <string.h>

const char aDIR_PATH_SEP[] = "/";

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(buffer, size, first, second, (const char*)nullptr);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  if (!buffer || size == 0) return aErrParam;
  buffer[0] = '\0';
  if (!first || first == buffer) return aErrParam;

  // Check the whole list before writing: count the components (stopping
  // once too many are seen) and refuse the buffer as a component.
  va_list args;
  va_start(args, first);
  size_t count = 1;
  bool aliased = false;
  for (const char* part = va_arg(args, const char*); part;
       part = va_arg(args, const char*)) {
    if (part == buffer) aliased = true;
    if (++count > aDIRECTORY_MAXCOMPONENTS) break;
  }
  va_end(args);
  if (aliased || count > aDIRECTORY_MAXCOMPONENTS) return aErrParam;

  size_t length = strlen(first);
  if (length >= size - 1) return aErrOverrun;
  memcpy(buffer, first, length + 1);

  const char sep = aDIR_PATH_SEP[0];
  aErr result = aErrNone;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part;
       part = va_arg(args, const char*)) {
    size_t room = size - length - 1;
    // An empty text so far gets no separator, so that an empty first
    // component does not turn a relative path into an absolute one.
    if (room > 1 && length > 0 && buffer[length - 1] != sep && part[0] != sep) {
      buffer[length++] = sep;
      buffer[length] = '\0';
      --room;
    }
    size_t partLength = strlen(part);
    if (partLength >= room) {
      result = aErrOverrun;
      break;
    }
    memcpy(buffer + length, part, partLength + 1);
    length += partLength;
  }
  va_end(args);
  return result;
}

std::string BuildPath(const char* first, ...) {
  std::string path = first ? first : "";
  if (!first) return path;
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part;
       part = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(args);
  return path;
}
