// Descriptors of emulated USB devices, built from a device description.
#include "sim/usb/UsbDescriptors.h"

#include <stdio.h>

#include <algorithm>

namespace sim {

UsbDeviceSpec UsbDeviceSpec::Module(uint32_t serial, uint8_t model, uint16_t maxPacket) {
  UsbDeviceSpec spec;
  spec.product = model;
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  spec.serial = text;
  UsbInterfaceSpec link;
  link.endpoints = {{0x81, 0x02, maxPacket}, {0x01, 0x02, maxPacket}};
  spec.interfaces = {link};
  return spec;
}

namespace {

void sAppend16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x & 0xFF));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor(const UsbDeviceSpec& spec) {
  std::vector<uint8_t> d = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40};
  sAppend16(d, spec.vendor);
  sAppend16(d, spec.product);
  sAppend16(d, 0x0100);
  d.push_back(spec.manufacturer.empty() ? 0 : 1);
  d.push_back(spec.productName.empty() ? 0 : 2);
  d.push_back(spec.serial.empty() ? 0 : 3);
  d.push_back(1);
  return d;
}

std::vector<uint8_t> ConfigDescriptor(const UsbDeviceSpec& spec) {
  std::vector<uint8_t> body;
  std::vector<uint8_t> numbers;
  for (const UsbInterfaceSpec& i : spec.interfaces) {
    if (std::find(numbers.begin(), numbers.end(), i.number) == numbers.end())
      numbers.push_back(i.number);
    const uint8_t header[] = {0x09, 0x04, i.number, i.alternate,
                              static_cast<uint8_t>(i.endpoints.size()), i.interfaceClass,
                              i.subClass, i.protocol, 0x00};
    body.insert(body.end(), header, header + sizeof header);
    for (const UsbEndpointSpec& e : i.endpoints) {
      body.insert(body.end(), {0x07, 0x05, e.address, e.attributes});
      sAppend16(body, e.maxPacket);
      body.push_back(0);
    }
  }
  std::vector<uint8_t> c = {0x09, 0x02};
  sAppend16(c, static_cast<uint16_t>(9 + body.size()));
  c.insert(c.end(), {static_cast<uint8_t>(numbers.size()), 0x01, 0x00, 0x80, 0x32});
  c.insert(c.end(), body.begin(), body.end());
  return c;
}

std::vector<uint8_t> StringDescriptor(const UsbDeviceSpec& spec, uint8_t index) {
  if (index == 0) return {0x04, 0x03, 0x09, 0x04};
  const std::string* text = index == 1   ? &spec.manufacturer
                            : index == 2 ? &spec.productName
                            : index == 3 ? &spec.serial
                                         : nullptr;
  if (!text || text->empty()) return {};
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text->size()), 0x03};
  for (char c : *text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

}  // namespace sim
