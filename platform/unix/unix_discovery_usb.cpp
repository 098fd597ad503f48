// USB half of module discovery: walks the devices of the shared libusb
// context in list order and reports each module whose serial string is
// eight upper-case hexadecimal digits.
#include <libusb.h>
#include <stdlib.h>

#include "app/Log.h"
#include "common/discover.h"
#include "platform/unix/tlusb_driver.h"

uint8_t aDiscovery_EnumerateUSB(linkType type, aDiscoveryModuleFoundProc cbFound, void* vpRef) {
  if (!cbFound) return 0;
  libusb_context* context = Tessaline_libusb_context();
  if (!context) return 0;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    Log::log(DEBUG_Network, "USB discovery: no device list: %s\n",
             libusb_error_name(static_cast<int>(count)));
    return 0;
  }
  uint8_t counted = 0;
  bool more = true;
  for (ssize_t i = 0; i < count && more; ++i) {
    if (!is_tessaline_device(list[i])) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(list[i], &handle) != 0) continue;
    libusb_device_descriptor descriptor;
    unsigned char text[32] = {};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                           sizeof text - 1) < 0 ||
        !tlusb_is_serial_text(reinterpret_cast<const char*>(text))) {
      libusb_close(handle);
      continue;
    }
    linkSpec* spec = aLinkSpec_Create(type);
    if (spec) {
      const uint32_t serial =
          static_cast<uint32_t>(strtoul(reinterpret_cast<const char*>(text), nullptr, 16));
      spec->serial_num = serial;
      spec->t.usb.usb_id = serial;
      spec->model = descriptor.idProduct & 0xFF;
      bool taken = false;
      more = cbFound(spec, &taken, vpRef);
      if (taken && counted < UINT8_MAX) ++counted;
      aLinkSpec_Destroy(&spec);
    }
    libusb_close(handle);
  }
  libusb_free_device_list(list, 1);
  return counted;
}
