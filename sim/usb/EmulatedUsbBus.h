// An emulated USB bus for tests and demonstrations: devices plugged in here
// appear to an unmodified libusb in this process (their sysfs entries, their
// device node and the usbfs requests on it are emulated by umockdev), with
// their descriptors and serial string, bulk endpoints that carry bytes to and
// from a peer, and faults on request.
//
// umockdev's preload library must be loaded into the process (linked in with
// --no-as-needed, or LD_PRELOAD=libumockdev-preload.so.0); PreloadActive says
// whether it is. Create the bus before the first libusb_init of the process.
//
// Threads: every member may be called from any thread. The usbfs requests are
// answered on umockdev's own worker thread; the peer's handlers run there and
// must not block for long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct UsbEndpointSpec {
  uint8_t address = 0x81;    // bit 7: IN
  uint8_t attributes = 0x02; // 2 bulk, 3 interrupt
  uint16_t maxPacket = 64;
};

struct UsbInterfaceSpec {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0xFF;
  uint8_t subClass = 0x88;
  uint8_t protocol = 0x10;
  std::vector<UsbEndpointSpec> endpoints;
};

struct UsbDeviceSpec {
  uint16_t vendor = 0x24FF;
  uint16_t product = 0x0013;
  std::string serial;               // serial-number string; empty: none
  std::string manufacturer = "Virtual Instruments";
  std::string productName = "Virtual module";
  std::vector<UsbInterfaceSpec> interfaces;

  // A module: the link interface with one bulk IN (0x81) and one bulk OUT
  // (0x01) endpoint of maxPacket bytes, serial "%08X", product = model.
  static UsbDeviceSpec Module(uint32_t serial, uint8_t model, uint16_t maxPacket = 64);
};

// One device on the bus. Owned by the bus; stays valid after unplugging (a
// host's stale handle keeps talking to it and gets "no device").
class EmulatedUsbDevice {
 public:
  using HostBytesHandler = std::function<void(const uint8_t* bytes, size_t length)>;
  // Called with true when a host claims an interface of the device, false
  // when the last claim is released (or its holder closes the device).
  using HostClaimHandler = std::function<void(bool claimed)>;

  ~EmulatedUsbDevice();

  // The peer: bytes the host writes to any OUT endpoint, and claims.
  void SetHostHandlers(HostBytesHandler bytes, HostClaimHandler claim);
  // Queues bytes for the IN endpoint; a host read takes up to its buffer size.
  void ToHost(const uint8_t* bytes, size_t length);
  // Drops the bytes still queued for the host.
  void FlushToHost();

  // Faults, each for the next n transfers of that direction (0 switches off):
  // a transfer error (libusb reports an I/O error) or a stall (pipe error,
  // which the host clears with a clear-halt request).
  void FailInTransfers(uint32_t n);
  void StallInTransfers(uint32_t n);
  void FailOutTransfers(uint32_t n);
  void StallOutTransfers(uint32_t n);
  // The next n OUT transfers take at most maxBytes (0: none) of their data
  // and still report success, as a device that accepts a short transfer.
  void LimitOutTransfers(uint32_t n, size_t maxBytes);

  // Observation.
  std::vector<size_t> OutTransferSizes() const;  // sizes of accepted OUT transfers
  void ClearOutTransferSizes();
  uint32_t ClearHalts(uint8_t endpoint) const;   // clear-halt requests seen
  uint32_t Opens() const;                        // times a host opened the node
  bool Claimed() const;
  bool Plugged() const;
  const UsbDeviceSpec& Spec() const;
  std::string DevNode() const;                   // "/dev/bus/usb/001/00N"

  struct Impl;  // the emulation's state; not for users

 private:
  friend class EmulatedUsbBus;
  explicit EmulatedUsbDevice(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

class EmulatedUsbBus {
 public:
  EmulatedUsbBus();
  ~EmulatedUsbBus();
  EmulatedUsbBus(const EmulatedUsbBus&) = delete;
  EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

  // True when umockdev's preload library is active in this process.
  static bool PreloadActive();

  // Plugs a device into the next free port of the bus (ports in order 1, 2,
  // ...). Null with a reason when it cannot be added.
  EmulatedUsbDevice* Plug(const UsbDeviceSpec& spec, std::string* error = nullptr);
  // The device leaves the bus: transfers in flight end with "no device", its
  // sysfs entry goes away and a host sees it removed.
  void Unplug(EmulatedUsbDevice* device);
  // A new device on the port that device used (as after a module restarts:
  // a new device address, possibly another serial string). Null on failure.
  EmulatedUsbDevice* Replug(EmulatedUsbDevice* device, const UsbDeviceSpec& spec,
                            std::string* error = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
