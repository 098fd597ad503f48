// Framing stream for links over serial lines: every link packet travels as
// one frame, the COBS encoding of the packet bytes and their CRC-8, ended by
// a 0 byte. Upward it is a plain byte stream of packet bytes.
//
// A frame holds at most 32 bytes with its delimiter, so a packet sent over
// this stream carries at most 27 payload bytes; a longer one is dropped.
// Frames that fail their checks (length, CRC, COBS, size) are discarded and
// reported as aErrPacket by get; while a frame is being collected, and when
// the transport has nothing, get answers aErrNotReady.
#pragma once

#include "common/aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aCOBS_FRAME_MAX 32  // encoded bytes plus the delimiter

// Creates a framing stream over an underlying transport given by its
// operations and ref. On success *pStream holds the new stream (the caller
// destroys it with aStream_Destroy) and the framing stream owns the
// transport: destroying it calls the transport's delete with its ref. On
// failure the transport stays with the caller.
// aErrParam (pStream null), aErrMemory, aErrResource.
aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc,
                                aStreamDeleteProc deleteProc, void* ref,
                                aStreamRef* pStream);

// The same, with the transport's wait operation, so that a reader can block
// until input arrives instead of polling (see aStreamWaitProc).
aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc getProc,
                                        aStreamPutProc putProc,
                                        aStreamWriteProc writeProc,
                                        aStreamDeleteProc deleteProc,
                                        aStreamWaitProc waitProc, void* ref,
                                        aStreamRef* pStream);

#ifdef __cplusplus
}
#endif
