#include "sim/usb/UsbModulePort.h"

#include <mutex>

#include "sim/module/VirtualModule.h"
#include "sim/usb/EmulatedUsbBus.h"

namespace sim {

struct UsbModulePort::State {
  EmulatedUsbBus& bus;
  VirtualModule& module;
  uint16_t maxPacket;
  std::mutex lock;
  EmulatedUsbDevice* device = nullptr;  // guarded by lock
  bool closed = false;                  // guarded by lock

  State(EmulatedUsbBus& b, VirtualModule& m, uint16_t mp) : bus(b), module(m), maxPacket(mp) {}

  UsbDeviceSpec Spec() const {
    return UsbDeviceSpec::Module(module.CurrentSerial(), module.Model(), maxPacket);
  }

  void InstallHandlers(EmulatedUsbDevice* d, const std::shared_ptr<State>& self) {
    std::weak_ptr<State> weak = self;
    d->SetHostHandlers(
        [weak](const uint8_t* bytes, size_t length) {
          if (auto s = weak.lock()) s->module.FromHost(bytes, length);
        },
        [weak](bool claimed) {
          auto s = weak.lock();
          if (!s) return;
          if (claimed)
            s->module.HostAttached();
          else
            s->module.HostDetached();
        });
  }
};

UsbModulePort::UsbModulePort(EmulatedUsbBus& bus, VirtualModule& module, uint16_t maxPacket)
    : state_(std::make_shared<State>(bus, module, maxPacket)) {}

UsbModulePort::~UsbModulePort() {
  EmulatedUsbDevice* device;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->closed = true;
    device = state_->device;
    state_->device = nullptr;
  }
  state_->module.SetSink(nullptr);
  state_->module.SetLinkEventHandler(nullptr);
  if (device) {
    device->SetHostHandlers(nullptr, nullptr);
    state_->bus.Unplug(device);
  }
}

bool UsbModulePort::Start(std::string* error) {
  std::weak_ptr<State> weak = state_;
  state_->module.SetSink([weak](const uint8_t* packet, size_t length) {
    auto s = weak.lock();
    if (!s) return;
    std::lock_guard<std::mutex> hold(s->lock);
    if (s->device && !s->closed) s->device->ToHost(packet, length);
  });
  state_->module.SetLinkEventHandler([weak](LinkEvent event) {
    auto s = weak.lock();
    if (!s) return;
    std::lock_guard<std::mutex> hold(s->lock);
    if (s->closed || !s->device) return;
    switch (event) {
      case LinkEvent::Leave:
        s->bus.Unplug(s->device);
        break;
      case LinkEvent::Return:
      case LinkEvent::Drop: {
        EmulatedUsbDevice* next = s->bus.Replug(s->device, s->Spec());
        if (next) s->device = next;
        break;
      }
    }
  });
  std::lock_guard<std::mutex> hold(state_->lock);
  if (state_->device) return true;
  EmulatedUsbDevice* device = state_->bus.Plug(state_->Spec(), error);
  if (!device) return false;
  state_->InstallHandlers(device, state_);
  state_->device = device;
  return true;
}

EmulatedUsbDevice* UsbModulePort::Device() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->device;
}

}  // namespace sim
