#include "common/aStream_CobsEncoding.h"

#include <stdlib.h>
#include <string.h>

#include "common/aPacket.h"
#include "common/aTime.h"
#include "common/cobs.h"
#include "common/crc8.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
// Encoded bytes of one frame, the delimiter not counted.
constexpr size_t kMaxEncoded = aCOBS_FRAME_MAX - 1;
// Pause of a wait while the transport fails.
constexpr uint32_t kFailedPauseMs = 100;

struct CobsStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  aStreamWaitProc wait;
  void* ref;
  uint16_t check;

  // Receive side: used by the reading thread only.
  uint8_t rxFrame[38];
  size_t rxLength;    // encoded bytes held; after decoding, packet bytes
  bool rxOverlong;    // more than kMaxEncoded bytes arrived for this frame
  bool rxReady;       // an accepted packet waits for delivery
  bool rxFailed;      // the transport's last get failed (not just empty)
  size_t rxNext;      // next packet byte to deliver

  // Send side: used by the writing thread only.
  aPacket* txPacket;
  uint8_t txFrame[aCOBS_FRAME_MAX];
  size_t txLength;
};

bool sValid(const CobsStream* s) { return s && s->check == kCobsCheck; }

// Decodes the collected frame and keeps its packet bytes when the frame is
// sound: more than 2 bytes, the length byte matching, the CRC matching.
aErr sAcceptFrame(CobsStream* s) {
  const bool overlong = s->rxOverlong;
  const size_t n = cobs_decode_inplace(s->rxFrame, s->rxLength);
  s->rxLength = 0;
  s->rxOverlong = false;
  if (overlong || n <= 2 || n != static_cast<size_t>(s->rxFrame[1]) + 3 ||
      !crc8_check(s->rxFrame, n - 1, s->rxFrame[n - 1]))
    return aErrPacket;
  s->rxLength = n - 1;
  s->rxNext = 0;
  s->rxReady = true;
  return aErrNotReady;
}

aErr sCobsStreamGet(uint8_t* pData, void* ref) {
  CobsStream* s = static_cast<CobsStream*>(ref);
  if (!sValid(s) || !pData) return aErrParam;
  if (s->rxReady) {
    *pData = s->rxFrame[s->rxNext++];
    if (s->rxNext >= s->rxLength) {
      s->rxReady = false;
      s->rxLength = 0;
      s->rxNext = 0;
    }
    return aErrNone;
  }
  if (!s->get) return aErrNotReady;
  uint8_t byte = 0;
  const aErr got = s->get(&byte, s->ref);
  s->rxFailed = got != aErrNone && got != aErrNotReady;
  if (got != aErrNone) return aErrNotReady;
  if (byte != 0) {
    if (s->rxLength < kMaxEncoded)
      s->rxFrame[s->rxLength++] = byte;
    else
      s->rxOverlong = true;
    return aErrNotReady;
  }
  if (s->rxLength == 0 && !s->rxOverlong) return aErrNotReady;
  return sAcceptFrame(s);
}

aErr sCobsStreamPut(uint8_t data, void* ref) {
  CobsStream* s = static_cast<CobsStream*>(ref);
  if (!sValid(s)) return aErrParam;
  if (!s->put) return aErrMode;
  return s->put(data, s->ref);
}

aErr sSendFrame(CobsStream* s) {
  if (s->write) return s->write(s->txFrame, s->txLength, s->ref);
  if (!s->put) return aErrMode;
  for (size_t i = 0; i < s->txLength; ++i) {
    const aErr err = s->put(s->txFrame[i], s->ref);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr sCobsStreamWrite(const uint8_t* pData, uint64_t length, void* ref) {
  CobsStream* s = static_cast<CobsStream*>(ref);
  if (!sValid(s) || (length && !pData)) return aErrParam;
  aErr result = aErrNone;
  for (uint64_t i = 0; i < length; ++i) {
    if (aPacket_AddByte(s->txPacket, pData[i]) != aErrNone) {
      // A refused byte leaves the assembly in an undefined state; start the
      // next packet afresh rather than send a corrupted one.
      aPacket_Reset(s->txPacket);
      continue;
    }
    if (!aPacket_IsComplete(s->txPacket)) continue;
    uint8_t packet[kMaxEncoded];
    size_t count = 0;
    const aErr copied = aPacket_GetBytes(s->txPacket, packet, sizeof(packet), &count);
    aPacket_Reset(s->txPacket);
    if (copied != aErrNone) continue;
    // Packet bytes plus CRC must encode into at most kMaxEncoded bytes.
    if (COBS_ENCODED_MAX(count + 1) > kMaxEncoded) continue;
    s->txFrame[count] = crc8_create(packet, count);
    memcpy(s->txFrame, packet, count);
    s->txLength = cobs_encode_inplace(s->txFrame, count + 1);
    s->txFrame[s->txLength++] = 0;
    const aErr err = sSendFrame(s);
    if (err != aErrNone) result = err;
  }
  return result;
}

aErr sCobsStreamWait(void* ref, uint32_t timeoutMs) {
  CobsStream* s = static_cast<CobsStream*>(ref);
  if (!sValid(s)) return aErrParam;
  if (s->rxReady) return aErrNone;
  // A failing transport is reported upward as "nothing yet"; its own wait
  // would return at once, so pace the reader here instead of letting it spin.
  if (s->rxFailed) {
    aTime_MSSleep(timeoutMs < kFailedPauseMs ? timeoutMs : kFailedPauseMs);
    return aErrTimeout;
  }
  if (!s->wait) return aErrUnimplemented;
  return s->wait(s->ref, timeoutMs);
}

aErr sCobsStreamDelete(void* ref) {
  CobsStream* s = static_cast<CobsStream*>(ref);
  if (!sValid(s)) return aErrParam;
  aErr err = aErrNone;
  if (s->del) err = s->del(s->ref);
  aPacket_Destroy(&s->txPacket);
  s->check = 0;
  free(s);
  return err;
}

}  // namespace

aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc getProc,
                                        aStreamPutProc putProc,
                                        aStreamWriteProc writeProc,
                                        aStreamDeleteProc deleteProc,
                                        aStreamWaitProc waitProc, void* ref,
                                        aStreamRef* pStream) {
  if (!pStream) return aErrParam;
  *pStream = nullptr;
  CobsStream* s = static_cast<CobsStream*>(calloc(1, sizeof(CobsStream)));
  if (!s) return aErrMemory;
  s->get = getProc;
  s->put = putProc;
  s->write = writeProc;
  s->del = deleteProc;
  s->wait = waitProc;
  s->ref = ref;
  s->check = kCobsCheck;
  s->txPacket = aPacket_Create();
  aStreamRef stream = s->txPacket
                          ? aStream_Create(sCobsStreamGet, sCobsStreamPut,
                                           sCobsStreamWrite, sCobsStreamDelete, s)
                          : nullptr;
  if (!stream) {
    if (s->txPacket) aPacket_Destroy(&s->txPacket);
    s->check = 0;
    free(s);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sCobsStreamWait);
  *pStream = stream;
  return aErrNone;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc,
                                aStreamDeleteProc deleteProc, void* ref,
                                aStreamRef* pStream) {
  return aStream_CreateCobsEncodingWithWait(getProc, putProc, writeProc,
                                            deleteProc, nullptr, ref, pStream);
}
