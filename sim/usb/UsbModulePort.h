// Puts a VirtualModule on an emulated USB bus: the module appears as a USB
// device with vendor 0x24FF, product = its model code, its serial number as
// the serial string and the link interface with one bulk IN and one bulk OUT
// endpoint. Bytes the host writes go to the module; the module's packets
// wait on the IN endpoint. Claiming the link interface starts a host session,
// releasing it (or closing the device) ends it.
//
// When the module restarts it leaves the bus, and it comes back as a new
// device on the same port, under the serial number it then presents (for
// example 0xDEADDEAD while its loader runs). A request to drop the host's
// connection is carried out the same way, since a USB device cannot drop one
// otherwise.
//
// The port installs itself as the module's sink and link event handler.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

class VirtualModule;
class EmulatedUsbBus;
class EmulatedUsbDevice;

class UsbModulePort {
 public:
  UsbModulePort(EmulatedUsbBus& bus, VirtualModule& module, uint16_t maxPacket = 64);
  ~UsbModulePort();  // the device leaves the bus
  UsbModulePort(const UsbModulePort&) = delete;
  UsbModulePort& operator=(const UsbModulePort&) = delete;

  // Plugs the device in. False with a reason.
  bool Start(std::string* error);
  // The device that represents the module now (changes on each return);
  // null before Start. Owned by the bus.
  EmulatedUsbDevice* Device() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the callbacks
};

}  // namespace sim
