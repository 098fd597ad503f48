// tlusb layer: records, the shared libusb context, the libusb path and the
// dispatch by path. The kernel path lives in tlusb_kernel.cpp.
#include "platform/unix/tlusb_driver.h"

#include <libusb.h>
#include <string.h>

#include <memory>
#include <new>

#include "app/Log.h"
#include "common/aTime.h"

namespace {

libusb_context* _libusbContext = nullptr;
std::mutex _libusbContextLock;

// A pause when a read came back early, so that an idle link reader sleeps.
constexpr uint32_t kEarlyReadPauseMs = 50;

bool sIsHexUpper(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Whether a transfer may run in the device's current state: aErrNone when it
// is ready, aErrConnection once closed, aErrNotReady while still opening,
// aErrIO once failed.
aErr sTransferGate(const tlusb_device* device) {
  switch (device->state.load()) {
    case TLUSB_STATE_READY:
      return aErrNone;
    case TLUSB_STATE_CLOSED:
      return aErrConnection;
    case TLUSB_STATE_CREATED:
    case TLUSB_STATE_OPENED:
      return aErrNotReady;
    default:
      return aErrIO;
  }
}

}  // namespace

// --- Shared context -------------------------------------------------------

libusb_context* Tessaline_libusb_context(void) {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  if (!_libusbContext) {
    libusb_context* context = nullptr;
    const int r = libusb_init(&context);
    if (r != 0) {
      // Without a context every libusb call would act on libusb's default
      // context instead; report no context so that callers fail cleanly.
      Log::log(DEBUG_Network, "USB: libusb cannot be initialised: %s\n", libusb_error_name(r));
      return nullptr;
    }
    _libusbContext = context;
  }
  return _libusbContext;
}

void Tessaline_libusb_init(void) { (void)Tessaline_libusb_context(); }

void Tessaline_libusb_exit(void) {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  if (_libusbContext) libusb_exit(_libusbContext);
  _libusbContext = nullptr;
}

// --- Records --------------------------------------------------------------

tlusb_device* tlusb_create_usb(uint32_t useLibusb) {
  std::unique_ptr<tlusb_device> device(new (std::nothrow) tlusb_device);
  if (!device) return nullptr;
  device->useLibusb = useLibusb ? 1 : 0;
  device->state = TLUSB_STATE_CREATED;
  if (device->useLibusb) {
    Tessaline_libusb_init();
    device->rxNext = device->rxBuffer;
  }
  return device.release();
}

aErr tlusb_destroy(tlusb_device** pDevice) {
  if (!pDevice || !*pDevice) return aErrParam;
  std::unique_ptr<tlusb_device> device(*pDevice);
  *pDevice = nullptr;
  if (device->handle) libusb_close(device->handle);
  device->handle = nullptr;
  return aErrNone;
}

bool tlusb_is_serial_text(const char* text) {
  if (!text) return false;
  for (int i = 0; i < 8; ++i)
    if (!sIsHexUpper(text[i])) return false;
  return text[8] == '\0';
}

bool is_tessaline_device(libusb_device* device) {
  libusb_device_descriptor descriptor;
  if (!device || libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  return descriptor.idVendor == TLUSB_VENDOR_ID && (descriptor.idProduct & 0x8000) == 0;
}

// --- Dispatch -------------------------------------------------------------

aErr tlusb_open_tessaline_device(tlusb_device* device, const char* serial) {
  if (!device || !serial) return aErrParam;
  return device->useLibusb ? tlusb_open_tessaline_USBlib_device(device, serial)
                           : tlusb_open_tessaline_kernel_device(device, serial);
}

aErr tlusb_write_to_device(tlusb_device* device, const uint8_t* data, uint32_t length) {
  if (!device || (!data && length)) return aErrParam;
  return device->useLibusb ? tlusb_write_to_USBlib_device(device, data, length)
                           : tlusb_write_to_kernel_device(device, data, length);
}

aErr tlusb_get_from_device(tlusb_device* device, uint8_t* pData) {
  if (!device || !pData) return aErrParam;
  return device->useLibusb ? tlusb_get_from_USBlib_device(device, pData)
                           : tlusb_get_from_kernel_device(device, pData);
}

aErr tlusb_close_tessaline_device(tlusb_device* device) {
  if (!device) return aErrParam;
  return device->useLibusb ? tlusb_close_tessaline_USBlib_device(device)
                           : tlusb_close_tessaline_kernel_device(device);
}

// --- Error tolerance --------------------------------------------------------

aErr _handleErrorTolerance(tlusb_device* device, aErr result, bool isWrite) {
  std::lock_guard<std::mutex> hold(device->lock);
  if (result != aErrIO) {
    // A transfer that began before the other direction failed the record
    // may still finish well; the record stays failed with its count.
    if (device->state != TLUSB_STATE_FAILED) device->errorCount = 0;
    return result;
  }
  const uint8_t before = device->errorCount;
  if (device->errorCount < UINT8_MAX) ++device->errorCount;
  if (before < TLUSB_ABSORBED_FAILURES) return isWrite ? aErrNone : aErrNotReady;
  if (device->state != TLUSB_STATE_FAILED)
    Log::log(DEBUG_Network, "USB %s: too many transfer failures, link failed\n",
             device->serialString);
  device->state = TLUSB_STATE_FAILED;
  return aErrIO;
}

// --- libusb path ------------------------------------------------------------

int find_usb_endpoints(tlusb_device* device) {
  if (!device || !device->handle) return LIBUSB_ERROR_INVALID_PARAM;
  libusb_device* usbDevice = libusb_get_device(device->handle);
  libusb_config_descriptor* config = nullptr;
  const int r = libusb_get_config_descriptor(usbDevice, 0, &config);
  if (r != 0) return r;
  bool haveIn = false, haveOut = false;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      if (alt.bInterfaceClass != TLUSB_LINK_CLASS || alt.bInterfaceSubClass != TLUSB_LINK_SUBCLASS ||
          alt.bInterfaceProtocol != TLUSB_LINK_PROTOCOL)
        continue;
      device->interfaceNumber = alt.bInterfaceNumber;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if (!(ep.bmAttributes & 0x02)) continue;  // bulk or interrupt only
        if (ep.bEndpointAddress & 0x80) {
          device->inEndpoint = ep.bEndpointAddress;
          haveIn = true;
        } else {
          device->outEndpoint = ep.bEndpointAddress;
          haveOut = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  if (!haveIn || !haveOut) return LIBUSB_ERROR_NO_DEVICE;
  const int inSize = libusb_get_max_packet_size(usbDevice, device->inEndpoint);
  const int outSize = libusb_get_max_packet_size(usbDevice, device->outEndpoint);
  if (inSize < 0) return inSize;
  if (outSize < 0) return outSize;
  // A zero packet size would make every write chunk empty and never finish.
  if (inSize == 0 || outSize == 0) return LIBUSB_ERROR_NOT_FOUND;
  device->inMaxPacket = static_cast<uint16_t>(inSize);
  device->outMaxPacket = static_cast<uint16_t>(outSize);
  return 0;
}

aErr tlusb_open_tessaline_USBlib_device(tlusb_device* device, const char* serial) {
  if (!device || !serial) return aErrParam;
  if (!device->useLibusb) return aErrMode;
  if (device->state == 0) return aErrResource;
  libusb_context* context = Tessaline_libusb_context();
  if (!context) return aErrInitialization;

  aErr result = aErrNotFound;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    if (!is_tessaline_device(list[i])) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(list[i], &handle) != 0) continue;
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) {
      libusb_close(handle);
      continue;
    }
    unsigned char text[TLUSB_SERIAL_STRING_SIZE] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                     sizeof text - 1);
    if (n < 0 || strcmp(reinterpret_cast<const char*>(text), serial) != 0) {
      libusb_close(handle);
      continue;
    }

    strncpy(device->serialString, serial, sizeof device->serialString - 1);
    device->handle = handle;
    device->state = TLUSB_STATE_OPENED;
    const int found = find_usb_endpoints(device);
    if (found != 0) {
      Log::log(DEBUG_Network, "USB %s: no link interface: %s\n", serial,
               libusb_error_name(found));
      device->state = TLUSB_STATE_CLOSED;
      libusb_close(handle);
      device->handle = nullptr;
      result = aErrConfiguration;
      break;
    }
    const int claimed = libusb_claim_interface(handle, device->interfaceNumber);
    if (claimed == 0) {
      std::lock_guard<std::mutex> hold(device->lock);
      device->state = TLUSB_STATE_READY;
      device->errorCount = 0;
      result = aErrNone;
    } else {
      Log::log(DEBUG_Network, "USB %s: interface %u cannot be claimed: %s\n", serial,
               device->interfaceNumber, libusb_error_name(claimed));
      device->state = TLUSB_STATE_CLOSED;
      libusb_close(handle);
      device->handle = nullptr;
      switch (claimed) {
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_NO_DEVICE:
          result = aErrBusy;
          break;
        case LIBUSB_ERROR_ACCESS:
          result = aErrPermission;
          break;
        default:
          result = aErrUnknown;
          break;
      }
    }
    break;
  }
  if (count >= 0) libusb_free_device_list(list, 1);
  return result;
}

aErr tlusb_get_from_USBlib_device(tlusb_device* device, uint8_t* pData) {
  if (!device || !pData) return aErrParam;
  if (!device->useLibusb) return aErrMode;
  aErr result = aErrNone;
  if (device->rxAvail == 0) {
    device->rxLastWaited = false;
    result = sTransferGate(device);
    if (result == aErrNone) {
      int received = 0;
      const int r = libusb_bulk_transfer(device->handle, device->inEndpoint, device->rxBuffer,
                                         TLUSB_RX_BUFFER_SIZE, &received, TLUSB_READ_TIMEOUT_MS);
      if (r == 0 || (r == LIBUSB_ERROR_TIMEOUT && received > 0)) {
        device->rxNext = device->rxBuffer;
        device->rxAvail = static_cast<uint32_t>(received);
      } else if (r == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->inEndpoint);
        result = aErrNotReady;
      } else if (r == LIBUSB_ERROR_TIMEOUT) {
        device->rxLastWaited = true;
        result = aErrNotReady;
      } else {
        result = aErrIO;
      }
    }
  }
  if (device->rxAvail > 0) {
    *pData = *device->rxNext++;
    --device->rxAvail;
    result = aErrNone;
  } else if (result == aErrNone) {
    result = aErrNotReady;  // an empty transfer delivers nothing
  }
  return _handleErrorTolerance(device, result, false);
}

aErr tlusb_write_to_USBlib_device(tlusb_device* device, const uint8_t* data, uint32_t length) {
  if (!device || (!data && length)) return aErrParam;
  if (!device->useLibusb) return aErrMode;
  aErr result = sTransferGate(device);
  if (result == aErrNone) {
    uint32_t sent = 0;
    uint32_t failures = 0;
    while (sent < length && failures < TLUSB_WRITE_MAX_FAILURES) {
      uint32_t chunk = length - sent;
      if (chunk > device->outMaxPacket) chunk = device->outMaxPacket;
      // Some module firmware drops a transfer of exactly 512 bytes.
      if (chunk == 512) chunk = 511;
      int done = 0;
      const int r = libusb_bulk_transfer(device->handle, device->outEndpoint,
                                         const_cast<uint8_t*>(data + sent), static_cast<int>(chunk),
                                         &done, TLUSB_WRITE_TIMEOUT_MS);
      // Bytes that went out are never sent twice, even when the transfer as a
      // whole timed out.
      if (done > 0) sent += static_cast<uint32_t>(done);
      if (r == 0 && done > 0) continue;
      ++failures;
      if (r == LIBUSB_ERROR_PIPE && libusb_clear_halt(device->handle, device->outEndpoint) != 0)
        result = aErrIO;
    }
    if (sent < length) {
      Log::log(DEBUG_Network, "USB %s: %u of %u bytes not sent\n", device->serialString,
               length - sent, length);
      result = aErrWrite;
    }
  }
  return _handleErrorTolerance(device, result, true);
}

aErr tlusb_close_tessaline_USBlib_device(tlusb_device* device) {
  if (!device) return aErrParam;
  if (!device->useLibusb || !device->handle) return aErrMode;
  libusb_release_interface(device->handle, device->interfaceNumber);
  libusb_close(device->handle);
  device->handle = nullptr;
  device->inEndpoint = 0;
  device->outEndpoint = 0;
  device->interfaceNumber = 0;
  device->state = TLUSB_STATE_CLOSED;
  return aErrNone;
}

aErr tlusb_wait_for_input(tlusb_device* device, uint32_t timeoutMs) {
  if (!device) return aErrParam;
  if (!device->useLibusb) return tlusb_wait_for_kernel_input(device, timeoutMs);
  if (device->rxAvail > 0 || device->rxLastWaited) return aErrNone;
  aTime_MSSleep(timeoutMs < kEarlyReadPauseMs ? timeoutMs : kEarlyReadPauseMs);
  return aErrTimeout;
}
