// USB stream: an aStream over a tlusb record.
#include "platform/unix/unix_streamusb.h"

#include <stdio.h>

#include <memory>
#include <new>

#include "app/Log.h"
#include "platform/unix/tlusb_driver.h"

namespace {

constexpr uint16_t kUsbStreamCheck = 0xDEAD;

struct UsbStream {
  uint32_t serialNumber = 0;
  tlusb_device* device = nullptr;  // owned
  uint16_t check = 0;
};

bool aVALIDUSBS(const UsbStream* s) { return s && s->check == kUsbStreamCheck && s->device; }

aErr sUSBStreamGet(uint8_t* pData, void* ref) {
  UsbStream* s = static_cast<UsbStream*>(ref);
  if (!aVALIDUSBS(s)) return aErrParam;
  return tlusb_get_from_device(s->device, pData);
}

aErr sUSBStreamWrite(const uint8_t* pData, uint64_t length, void* ref) {
  UsbStream* s = static_cast<UsbStream*>(ref);
  if (!aVALIDUSBS(s)) return aErrParam;
  // tlusb counts in 32 bits; a longer block goes in pieces.
  while (length > UINT32_MAX) {
    const aErr err = tlusb_write_to_device(s->device, pData, UINT32_MAX);
    if (err != aErrNone) return err;
    pData += UINT32_MAX;
    length -= UINT32_MAX;
  }
  return tlusb_write_to_device(s->device, pData, static_cast<uint32_t>(length));
}

aErr sUSBStreamPut(uint8_t data, void* ref) { return sUSBStreamWrite(&data, 1, ref); }

aErr sUSBStreamWait(void* ref, uint32_t timeoutMs) {
  UsbStream* s = static_cast<UsbStream*>(ref);
  if (!aVALIDUSBS(s)) return aErrParam;
  return tlusb_wait_for_input(s->device, timeoutMs);
}

aErr sUSBStreamDelete(void* ref) {
  UsbStream* s = static_cast<UsbStream*>(ref);
  if (!aVALIDUSBS(s)) return aErrParam;
  const aErr err = tlusb_close_tessaline_device(s->device);
  if (err != aErrNone) return err;
  std::unique_ptr<UsbStream> owned(s);
  tlusb_destroy(&owned->device);
  owned->check = 0;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* pStream) {
  if (pStream) *pStream = nullptr;
  const bool kernel = tlusb_is_kernel_driver_installed(serialNumber);
  if (!pStream || serialNumber == 0) return aErrParam;

  std::unique_ptr<UsbStream> s(new (std::nothrow) UsbStream);
  if (!s) return aErrMemory;
  s->serialNumber = serialNumber;
  s->check = kUsbStreamCheck;
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", serialNumber);

  s->device = tlusb_create_usb(kernel ? 0 : 1);
  if (!s->device) return aErrResource;
  const aErr err = tlusb_open_tessaline_device(s->device, serial);
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "USB stream %s: %s\n", serial, aError_GetErrorText(err));
    tlusb_destroy(&s->device);
    return err;
  }
  aStreamRef stream =
      aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, s.get());
  if (!stream) {
    tlusb_close_tessaline_device(s->device);
    tlusb_destroy(&s->device);
    return aErrMemory;
  }
  aStream_SetWaitProc(stream, sUSBStreamWait);
  s.release();
  *pStream = stream;
  return aErrNone;
}
