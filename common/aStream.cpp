// Stream framework: dispatch to the kind's operations, the push-back ring,
// and record and C-string reads and writes on top of single bytes.
#include "common/aStream.h"

#include <stdlib.h>
#include <string.h>

#define aSTREAM_PUSHBACK_CHUNK 512
// Reads up to this many bytes use a stack scratch area (the link reader
// reads one byte per call and must not allocate).
#define aSTREAM_SMALL_READ 64

aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc,
                          aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                          void* ref) {
  aStream* s = static_cast<aStream*>(calloc(1, sizeof(aStream)));
  if (!s) return NULL;
  s->getProc = getProc;
  s->putProc = putProc;
  s->writeProc = writeProc;
  s->deleteProc = deleteProc;
  s->ref = ref;
  s->check = aSTREAM_CHECK;
  return s;
}

aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc waitProc) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->waitProc = waitProc;
  return aErrNone;
}

aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->pushCount > 0) return aErrNone;
  if (!stream->waitProc) return aErrUnimplemented;
  return stream->waitProc(stream->ref, timeoutMs);
}

aErr aStream_Destroy(aStreamRef* pStream) {
  if (!pStream) return aErrParam;
  aStream* s = *pStream;
  *pStream = NULL;
  if (!aVALIDSTREAM(s)) return aErrParam;
  aErr err = aErrNone;
  if (s->deleteProc) err = s->deleteProc(s->ref);
  free(s->pushBack);
  s->check = 0;
  free(s);
  return err;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
  if (!stream) return aErrParam;
  if (!stream->pushBack) {
    stream->pushBack = static_cast<uint8_t*>(malloc(aSTREAM_PUSHBACK_CHUNK));
    if (!stream->pushBack) return aErrMemory;
    stream->pushCapacity = aSTREAM_PUSHBACK_CHUNK;
    stream->pushCount = stream->pushHead = stream->pushTail = 0;
  }
  if (stream->pushCount >= stream->pushCapacity - 1) {
    const size_t newCapacity = stream->pushCapacity + aSTREAM_PUSHBACK_CHUNK;
    uint8_t* grown = static_cast<uint8_t*>(malloc(newCapacity));
    if (!grown) return aErrMemory;
    // Unwrap the held bytes, oldest first, to the start of the new ring.
    for (size_t i = 0; i < stream->pushCount; i++)
      grown[i] = stream->pushBack[(stream->pushHead + i) % stream->pushCapacity];
    free(stream->pushBack);
    stream->pushBack = grown;
    stream->pushCapacity = newCapacity;
    stream->pushHead = 0;
    stream->pushTail = stream->pushCount;
  }
  stream->pushBack[stream->pushTail] = byte;
  stream->pushTail = (stream->pushTail + 1) % stream->pushCapacity;
  stream->pushCount++;
  return aErrNone;
}

// Takes the oldest pushed-back byte (dropped when dest is NULL); false when
// none is held.
static bool sStreamGetBufferedChar(aStreamRef stream, uint8_t* dest) {
  if (!stream || stream->pushCount == 0) return false;
  if (dest) *dest = stream->pushBack[stream->pushHead];
  stream->pushHead = (stream->pushHead + 1) % stream->pushCapacity;
  stream->pushCount--;
  return true;
}

aErr aStream_Read(aStreamRef stream, uint8_t* dest, uint64_t count) {
  if (!aVALIDSTREAM(stream) || !dest) return aErrParam;
  if (!stream->getProc) return aErrMode;
  if (count == 0) return aErrNone;

  uint8_t small[aSTREAM_SMALL_READ];
  uint8_t* scratch = small;
  if (count > sizeof(small)) {
    scratch = static_cast<uint8_t*>(malloc(count));
    if (!scratch) return aErrResource;
  }

  aErr err = aErrNone;
  uint64_t got = 0;
  while (got < count) {
    if (sStreamGetBufferedChar(stream, &scratch[got])) {
      got++;
      continue;
    }
    err = stream->getProc(&scratch[got], stream->ref);
    if (err != aErrNone) break;
    got++;
  }

  if (err == aErrNotReady) {
    // Put back what this call consumed so the next read sees it first.
    for (uint64_t i = 0; i < got; i++)
      if (aStreamBufferChar(stream, scratch[i]) != aErrNone) break;
  } else if (err == aErrNone || err == aErrEOF) {
    memcpy(dest, scratch, got);
  }
  if (scratch != small) free(scratch);
  return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* src, uint64_t count) {
  if (!aVALIDSTREAM(stream) || !src) return aErrParam;
  if (!stream->writeProc && !stream->putProc) return aErrMode;
  if (stream->writeProc && count > 1) return stream->writeProc(src, count, stream->ref);
  if (!stream->putProc) return stream->writeProc(src, count, stream->ref);
  for (uint64_t i = 0; i < count; i++) {
    aErr err = stream->putProc(src[i], stream->ref);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* dest, uint64_t* pLength,
                        uint64_t maxLength, const uint8_t* terminator,
                        uint64_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || !dest || !terminator || terminatorLength == 0 ||
      maxLength == 0)
    return aErrParam;
  uint8_t* record = static_cast<uint8_t*>(malloc(maxLength));
  if (!record) return aErrResource;

  uint64_t length = 0;
  uint64_t matched = 0;
  aErr err = aErrNone;
  bool finished = false;
  while (!finished) {
    uint8_t b;
    if (!sStreamGetBufferedChar(stream, &b)) {
      err = aStream_Read(stream, &b, 1);
      if (err == aErrNotReady) {
        for (uint64_t i = 0; i < length; i++)
          if (aStreamBufferChar(stream, record[i]) != aErrNone) break;
        break;
      }
      if (err == aErrEOF) {
        if (length > 0) err = aErrNone;
        break;
      }
      if (err != aErrNone) break;
    }
    if (b == terminator[matched]) {
      if (++matched == terminatorLength) finished = true;
    } else {
      record[length++] = b;
      if (length == maxLength) finished = true;
    }
  }

  if (err == aErrNone || err == aErrEOF) {
    if (err == aErrEOF) length = 0;
    memcpy(dest, record, length);
    if (pLength) *pLength = length;
  }
  free(record);
  return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, uint64_t length,
                         const uint8_t* terminator, uint64_t terminatorLength) {
  if (!data || !terminator || terminatorLength == 0) return aErrParam;
  aErr err = aStream_Write(stream, data, length);
  if (err == aErrNone) err = aStream_Write(stream, terminator, terminatorLength);
  return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* dest, uint64_t capacity) {
  static const uint8_t nul = 0;
  if (!dest || capacity < 2) return aErrParam;
  uint64_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(dest), &length,
                                capacity - 1, &nul, 1);
  if (err == aErrNone) dest[length] = 0;
  return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* string) {
  if (!string) return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(string), strlen(string) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* dest, uint64_t capacity,
                               const char* terminator) {
  if (!dest || !terminator || capacity < 2) return aErrParam;
  uint64_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(dest), &length,
                                capacity - 1, reinterpret_cast<const uint8_t*>(terminator),
                                strlen(terminator));
  if (err == aErrNone) dest[length] = 0;
  return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string,
                                const char* terminator) {
  if (!string || !terminator) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(string), strlen(string),
                             reinterpret_cast<const uint8_t*>(terminator),
                             strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef dest) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(dest)) return aErrParam;
  if (!source->getProc || !dest->putProc) return aErrMode;
  for (;;) {
    uint8_t b;
    aErr err = source->getProc(&b, source->ref);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = dest->putProc(b, dest->ref);
    if (err != aErrNone) return err;
  }
}
