// Emulated USB bus over a umockdev testbed. Each device gets a sysfs entry
// (with the "descriptors" attribute libusb reads) and a device node whose
// usbfs requests land in sHandleIoctl on umockdev's worker thread. Bulk data
// is moved only on that thread: bytes from the peer wait in a queue and are
// copied into pending IN requests when the host reaps, so umockdev's request
// objects are never touched from another thread.
#include "sim/usb/EmulatedUsbBus.h"

#include <stdio.h>

#include <errno.h>
#include <linux/ioctl.h>
#include <linux/types.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <string.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "sim/usb/UsbDescriptors.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#include <sanitizer/tsan_interface.h>
#define EMULATED_USB_TSAN 1
#endif
#endif

namespace sim {

namespace {

// A device's state is handed to umockdev's worker thread through GLib, whose
// locking ThreadSanitizer cannot see; these mark that hand-over for it.
void sPublish(void* state) {
#ifdef EMULATED_USB_TSAN
  __tsan_release(state);
#else
  (void)state;
#endif
}
void sReceive(void* state) {
#ifdef EMULATED_USB_TSAN
  __tsan_acquire(state);
#else
  (void)state;
#endif
}

constexpr int kUrbStatusIoError = -EPROTO;

// libusb waits for a transfer by polling the device node and reaping; the
// emulated node is always ready, so an empty reap is held back this long
// (or until something completes) to keep a waiting host from spinning. The
// host's other requests on the node wait behind it, so this is also the
// latency it adds to a write: 2 ms keeps an idle link near 5% of a core
// (about 50% without) and a request/reply round trip near 3 ms.
constexpr auto kEmptyReapHold = std::chrono::milliseconds(2);

struct Urb {
  UMockdevIoctlData* data;  // a reference we hold
  UMockdevIoctlClient* client;
};

UMockdevIoctlData* sUrbBuffer(UMockdevIoctlData* urbData) {
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  return umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                     static_cast<gsize>(urb->buffer_length), nullptr);
}

}  // namespace

// --- Device ---------------------------------------------------------------

struct EmulatedUsbDevice::Impl {
  UsbDeviceSpec spec;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configDescriptor;
  int port = 0;
  int devnum = 0;
  std::string sysPath;
  std::string devNode;
  UMockdevIoctlBase* handler = nullptr;

  mutable std::mutex lock;
  std::condition_variable changed;  // bytes for the host, or unplugged
  bool plugged = true;
  std::deque<Urb> pendingIn;   // submitted IN requests waiting for data
  std::deque<Urb> completed;   // finished requests waiting to be reaped
  std::deque<uint8_t> toHost;  // bytes for the IN endpoint
  std::map<unsigned, UMockdevIoctlClient*> claims;
  uint32_t failIn = 0, stallIn = 0, failOut = 0, stallOut = 0, limitOut = 0;
  size_t limitOutBytes = 0;
  std::vector<size_t> outSizes;
  std::map<uint8_t, uint32_t> clearHalts;
  uint32_t opens = 0;
  HostBytesHandler onBytes;
  HostClaimHandler onClaim;

  ~Impl() {
    for (Urb& u : pendingIn) g_object_unref(u.data);
    for (Urb& u : completed) g_object_unref(u.data);
    if (handler) g_object_unref(handler);
  }

  // Finishes a request (caller holds lock); the queue takes the reference.
  void Complete(Urb u, int status, int actual) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
    urb->status = status;
    urb->actual_length = actual;
    completed.push_back(u);
  }

  // Copies queued bytes into pending IN requests (caller holds lock).
  void ServiceIn() {
    while (!toHost.empty() && !pendingIn.empty()) {
      Urb u = pendingIn.front();
      pendingIn.pop_front();
      auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
      const size_t n = std::min(toHost.size(), static_cast<size_t>(urb->buffer_length));
      UMockdevIoctlData* buffer = sUrbBuffer(u.data);
      std::copy(toHost.begin(), toHost.begin() + static_cast<std::ptrdiff_t>(n), buffer->data);
      g_object_unref(buffer);
      toHost.erase(toHost.begin(), toHost.begin() + static_cast<std::ptrdiff_t>(n));
      Complete(u, 0, static_cast<int>(n));
    }
  }

  // Ends every pending request with "no device" (caller holds lock).
  void FailPending() {
    while (!pendingIn.empty()) {
      Complete(pendingIn.front(), -ENODEV, 0);
      pendingIn.pop_front();
    }
  }

  bool IsOut(uint8_t endpoint) const { return (endpoint & 0x80) == 0; }

  // Control requests: GET_DESCRIPTOR only; anything else stalls.
  void Control(Urb u) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
    UMockdevIoctlData* buffer = sUrbBuffer(u.data);
    uint8_t* setup = buffer->data;
    const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    const uint16_t wanted = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    std::vector<uint8_t> answer;
    bool known = false;
    if (setup[0] == 0x80 && setup[1] == 0x06) {
      known = true;
      switch (value >> 8) {
        case 1: answer = deviceDescriptor; break;
        case 2: answer = configDescriptor; break;
        case 3: answer = StringDescriptor(spec, static_cast<uint8_t>(value & 0xFF)); break;
        default: known = false; break;
      }
      if (answer.empty()) known = false;
    }
    if (!known) {
      g_object_unref(buffer);
      Complete(u, -EPIPE, 0);
      return;
    }
    size_t n = std::min<size_t>(answer.size(), wanted);
    n = std::min<size_t>(n, static_cast<size_t>(std::max(0, urb->buffer_length - 8)));
    memcpy(setup + 8, answer.data(), n);
    g_object_unref(buffer);
    Complete(u, 0, static_cast<int>(n));
  }
};

namespace {

using DeviceImpl = EmulatedUsbDevice::Impl;

gboolean sHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
  sReceive(ref);
  auto* d = static_cast<DeviceImpl*>(ref);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::vector<uint8_t> fromHost;
  int claimChange = 0;  // +1 first claim, -1 last release
  int result = 0, error = 0;
  EmulatedUsbDevice::HostBytesHandler onBytes;
  EmulatedUsbDevice::HostClaimHandler onClaim;
  {
    std::unique_lock<std::mutex> hold(d->lock);
    onBytes = d->onBytes;
    onClaim = d->onClaim;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
            USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        g_object_unref(caps);
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* n = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        const unsigned number = *reinterpret_cast<unsigned*>(n->data);
        g_object_unref(n);
        if (!d->plugged) {
          result = -1, error = ENODEV;
          break;
        }
        auto held = d->claims.find(number);
        if (request == USBDEVFS_CLAIMINTERFACE) {
          if (held != d->claims.end() && held->second != client) {
            result = -1, error = EBUSY;  // another open of the device holds it
          } else if (held == d->claims.end()) {
            if (d->claims.empty()) claimChange = 1, d->toHost.clear();
            d->claims[number] = client;
          }
        } else if (held == d->claims.end() || held->second != client) {
          result = -1, error = EINVAL;
        } else {
          d->claims.erase(held);
          if (d->claims.empty()) claimChange = -1;
        }
        break;
      }
      case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        ++d->clearHalts[static_cast<uint8_t>(*reinterpret_cast<unsigned*>(ep->data))];
        g_object_unref(ep);
        if (!d->plugged) result = -1, error = ENODEV;
        break;
      }
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_RESET:
      case USBDEVFS_RESETEP:
        if (!d->plugged) result = -1, error = ENODEV;
        break;
      case USBDEVFS_SUBMITURB: {
        if (!d->plugged) {
          result = -1, error = ENODEV;
          break;
        }
        UMockdevIoctlData* urbData =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        Urb u{urbData, client};  // the queues take this reference
        urb->status = 0;
        urb->actual_length = 0;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
          d->Control(u);
        } else if (d->IsOut(urb->endpoint)) {
          if (d->stallOut > 0) {
            --d->stallOut;
            d->Complete(u, -EPIPE, 0);
          } else if (d->failOut > 0) {
            --d->failOut;
            d->Complete(u, kUrbStatusIoError, 0);
          } else {
            size_t take = static_cast<size_t>(urb->buffer_length);
            if (d->limitOut > 0) {
              --d->limitOut;
              take = std::min(take, d->limitOutBytes);
            }
            UMockdevIoctlData* buffer = sUrbBuffer(urbData);
            fromHost.assign(buffer->data, buffer->data + take);
            g_object_unref(buffer);
            if (take > 0) d->outSizes.push_back(take);
            d->Complete(u, 0, static_cast<int>(take));
          }
        } else if (d->stallIn > 0) {
          --d->stallIn;
          d->Complete(u, -EPIPE, 0);
        } else if (d->failIn > 0) {
          --d->failIn;
          d->Complete(u, kUrbStatusIoError, 0);
        } else {
          d->pendingIn.push_back(u);
          d->ServiceIn();
        }
        break;
      }
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        auto ready = [d, client] {
          d->ServiceIn();
          return std::find_if(d->completed.begin(), d->completed.end(),
                              [client](const Urb& u) { return u.client == client; });
        };
        auto it = ready();
        if (it == d->completed.end() && d->plugged) {
          d->changed.wait_for(hold, kEmptyReapHold, [&] {
            return !d->plugged || (!d->toHost.empty() && !d->pendingIn.empty());
          });
          it = ready();
        }
        if (it == d->completed.end()) {
          result = -1, error = d->plugged ? EAGAIN : ENODEV;
          break;
        }
        Urb u = *it;
        d->completed.erase(it);
        UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(ptr, 0, u.data);
        g_object_unref(ptr);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(u.data);
        return TRUE;
      }
      case USBDEVFS_DISCARDURB: {
        const gulong address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
        auto it = std::find_if(d->pendingIn.begin(), d->pendingIn.end(), [&](const Urb& u) {
          return u.client == client && u.data->client_addr == address;
        });
        if (it == d->pendingIn.end()) {
          result = -1, error = EINVAL;
          break;
        }
        Urb u = *it;
        d->pendingIn.erase(it);
        d->Complete(u, -ENOENT, 0);
        break;
      }
      default:
        return FALSE;  // umockdev answers it (as an unknown request)
    }
  }
  umockdev_ioctl_client_complete(client, result, error);
  if (!fromHost.empty() && onBytes) onBytes(fromHost.data(), fromHost.size());
  if (claimChange != 0 && onClaim) onClaim(claimChange > 0);
  return TRUE;
}

void sClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer ref) {
  sReceive(ref);
  auto* d = static_cast<DeviceImpl*>(ref);
  std::lock_guard<std::mutex> hold(d->lock);
  ++d->opens;
}

// A host closed the device node: its claims and requests go with it.
void sClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
  sReceive(ref);
  auto* d = static_cast<DeviceImpl*>(ref);
  bool released = false;
  EmulatedUsbDevice::HostClaimHandler onClaim;
  {
    std::lock_guard<std::mutex> hold(d->lock);
    onClaim = d->onClaim;
    for (auto it = d->claims.begin(); it != d->claims.end();) {
      if (it->second == client) {
        it = d->claims.erase(it);
        released = d->claims.empty();
      } else {
        ++it;
      }
    }
    for (auto* queue : {&d->pendingIn, &d->completed}) {
      for (auto it = queue->begin(); it != queue->end();) {
        if (it->client == client) {
          g_object_unref(it->data);
          it = queue->erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  if (released && onClaim) onClaim(false);
}

}  // namespace

EmulatedUsbDevice::EmulatedUsbDevice(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
EmulatedUsbDevice::~EmulatedUsbDevice() = default;

void EmulatedUsbDevice::SetHostHandlers(HostBytesHandler bytes, HostClaimHandler claim) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->onBytes = std::move(bytes);
  impl_->onClaim = std::move(claim);
}

void EmulatedUsbDevice::ToHost(const uint8_t* bytes, size_t length) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  if (impl_->plugged) impl_->toHost.insert(impl_->toHost.end(), bytes, bytes + length);
  impl_->changed.notify_all();
}

void EmulatedUsbDevice::FlushToHost() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->toHost.clear();
}

void EmulatedUsbDevice::FailInTransfers(uint32_t n) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->failIn = n;
}
void EmulatedUsbDevice::StallInTransfers(uint32_t n) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->stallIn = n;
}
void EmulatedUsbDevice::FailOutTransfers(uint32_t n) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->failOut = n;
}
void EmulatedUsbDevice::StallOutTransfers(uint32_t n) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->stallOut = n;
}

void EmulatedUsbDevice::LimitOutTransfers(uint32_t n, size_t maxBytes) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->limitOut = n;
  impl_->limitOutBytes = maxBytes;
}

std::vector<size_t> EmulatedUsbDevice::OutTransferSizes() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->outSizes;
}
void EmulatedUsbDevice::ClearOutTransferSizes() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->outSizes.clear();
}
uint32_t EmulatedUsbDevice::ClearHalts(uint8_t endpoint) const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  auto it = impl_->clearHalts.find(endpoint);
  return it == impl_->clearHalts.end() ? 0 : it->second;
}
uint32_t EmulatedUsbDevice::Opens() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->opens;
}
bool EmulatedUsbDevice::Claimed() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return !impl_->claims.empty();
}
bool EmulatedUsbDevice::Plugged() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->plugged;
}
const UsbDeviceSpec& EmulatedUsbDevice::Spec() const { return impl_->spec; }
std::string EmulatedUsbDevice::DevNode() const { return impl_->devNode; }

// --- Bus ----------------------------------------------------------------------

struct EmulatedUsbBus::Impl {
  std::mutex lock;  // serialises testbed changes
  UMockdevTestbed* testbed = nullptr;
  int nextDevnum = 2;  // 1 is the root hub
  std::vector<std::unique_ptr<EmulatedUsbDevice>> devices;

  bool AddDevice(const std::shared_ptr<DeviceImpl>& d, std::string* error) {
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", d->devnum);
    d->devNode = node;
    d->sysPath = "/sys/devices/usb1/1-" + std::to_string(d->port);
    sPublish(d.get());
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(sHandleIoctl), d.get());
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(sClientConnected), d.get());
    g_signal_connect(d->handler, "client-vanished", G_CALLBACK(sClientVanished), d.get());
    GError* err = nullptr;
    // The handler must be attached before the device (and its uevent) exists.
    if (!umockdev_testbed_attach_ioctl(testbed, node, d->handler, &err)) {
      if (error) *error = std::string("cannot attach the device node: ") + err->message;
      g_error_free(err);
      return false;
    }
    std::string text = "P: /devices/usb1/1-" + std::to_string(d->port) + "\n" +
                       "N: bus/usb/001/" + std::string(node + 17) + "\n" +
                       "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                       "E: BUSNUM=001\nE: DEVNUM=" + std::string(node + 17) + "\n" +
                       "E: DEVNAME=" + node + "\n" +
                       "A: busnum=1\\n\nA: devnum=" + std::to_string(d->devnum) + "\\n\n" +
                       "A: bConfigurationValue=1\\n\nA: speed=480\\n\n" +
                       "H: descriptors=" + HexText(d->deviceDescriptor) +
                       HexText(d->configDescriptor) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &err)) {
      if (error) *error = std::string("cannot add the device: ") + err->message;
      g_error_free(err);
      umockdev_testbed_detach_ioctl(testbed, node, nullptr);
      return false;
    }
    return true;
  }
};

EmulatedUsbBus::EmulatedUsbBus() : impl_(new Impl) {
  impl_->testbed = umockdev_testbed_new();
  // The root hub: not a module, never opened.
  const std::vector<uint8_t> hub = {0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6B,
                                    0x1D, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
  const std::vector<uint8_t> hubConfig = {0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x00,
                                          0x09, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00,
                                          0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0C};
  const std::string text =
      "P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
      "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/001/001\n"
      "A: busnum=1\\n\nA: devnum=1\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\n"
      "H: descriptors=" + HexText(hub) + HexText(hubConfig) + "\n";
  umockdev_testbed_add_from_string(impl_->testbed, text.c_str(), nullptr);
}

EmulatedUsbBus::~EmulatedUsbBus() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  for (auto& device : impl_->devices) {
    umockdev_testbed_detach_ioctl(impl_->testbed, device->impl_->devNode.c_str(), nullptr);
    std::lock_guard<std::mutex> last(device->impl_->lock);  // after its last request
  }
  impl_->devices.clear();
  g_object_unref(impl_->testbed);
}

bool EmulatedUsbBus::PreloadActive() {
  // umockdev_in_mock_environment() caches its first answer; ask the testbed
  // for a file only the preload library can show.
  UMockdevTestbed* probe = umockdev_testbed_new();
  umockdev_testbed_add_from_string(probe, "P: /devices/probe\nE: SUBSYSTEM=probe\n", nullptr);
  const bool active = access("/sys/devices/probe/uevent", F_OK) == 0;
  g_object_unref(probe);
  return active;
}

EmulatedUsbDevice* EmulatedUsbBus::Plug(const UsbDeviceSpec& spec, std::string* error) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  auto d = std::make_shared<DeviceImpl>();
  d->spec = spec;
  d->deviceDescriptor = DeviceDescriptor(spec);
  d->configDescriptor = ConfigDescriptor(spec);
  int port = 1;
  for (auto& other : impl_->devices) port = std::max(port, other->impl_->port + 1);
  d->port = port;
  d->devnum = impl_->nextDevnum++;
  if (!impl_->AddDevice(d, error)) return nullptr;
  impl_->devices.emplace_back(new EmulatedUsbDevice(d));
  return impl_->devices.back().get();
}

void EmulatedUsbBus::Unplug(EmulatedUsbDevice* device) {
  if (!device) return;
  std::lock_guard<std::mutex> hold(impl_->lock);
  DeviceImpl* d = device->impl_.get();
  {
    std::lock_guard<std::mutex> holdDevice(d->lock);
    if (!d->plugged) return;
    d->plugged = false;
    d->toHost.clear();
    d->FailPending();
    d->changed.notify_all();
  }
  umockdev_testbed_remove_device(impl_->testbed, d->sysPath.c_str());
}

EmulatedUsbDevice* EmulatedUsbBus::Replug(EmulatedUsbDevice* device, const UsbDeviceSpec& spec,
                                          std::string* error) {
  if (!device) return nullptr;
  Unplug(device);
  std::lock_guard<std::mutex> hold(impl_->lock);
  auto d = std::make_shared<DeviceImpl>();
  d->spec = spec;
  d->deviceDescriptor = DeviceDescriptor(spec);
  d->configDescriptor = ConfigDescriptor(spec);
  d->port = device->impl_->port;
  d->devnum = impl_->nextDevnum++;
  {
    // The peer moves to the new device; the old one (and a host's stale
    // handle on it) no longer reaches it.
    std::lock_guard<std::mutex> holdOld(device->impl_->lock);
    d->onBytes = std::move(device->impl_->onBytes);
    d->onClaim = std::move(device->impl_->onClaim);
    device->impl_->onBytes = nullptr;
    device->impl_->onClaim = nullptr;
  }
  if (!impl_->AddDevice(d, error)) return nullptr;
  impl_->devices.emplace_back(new EmulatedUsbDevice(d));
  return impl_->devices.back().get();
}

}  // namespace sim
