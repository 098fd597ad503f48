// Standard USB descriptors of an emulated device, as the device answers
// GET_DESCRIPTOR requests and as sysfs lists them ("descriptors").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb/EmulatedUsbBus.h"

namespace sim {

// Device descriptor: USB 2.0, vendor and product of spec, string indexes 1
// manufacturer, 2 product, 3 serial (0 for an empty text), one configuration.
std::vector<uint8_t> DeviceDescriptor(const UsbDeviceSpec& spec);
// Configuration 1 with every interface and alternate setting of spec.
std::vector<uint8_t> ConfigDescriptor(const UsbDeviceSpec& spec);
// String descriptor index (0: the language list, English); empty when the
// device has no such string.
std::vector<uint8_t> StringDescriptor(const UsbDeviceSpec& spec, uint8_t index);
// Upper-case hexadecimal text of bytes.
std::string HexText(const std::vector<uint8_t>& bytes);

}  // namespace sim
