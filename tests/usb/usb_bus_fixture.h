// Fixture: a fresh emulated USB bus per test, seen through a fresh shared
// libusb context (the context is released before the bus goes away).
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/unix/tlusb_driver.h"
#include "sim/usb/EmulatedUsbBus.h"

class UsbBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim::EmulatedUsbBus::PreloadActive())
        << "umockdev's preload library is not loaded into the test program";
    Tessaline_libusb_exit();
    bus_ = std::make_unique<sim::EmulatedUsbBus>();
  }
  void TearDown() override {
    Tessaline_libusb_exit();
    bus_.reset();
  }

  sim::EmulatedUsbDevice* Plug(const sim::UsbDeviceSpec& spec) {
    std::string error;
    sim::EmulatedUsbDevice* device = bus_->Plug(spec, &error);
    EXPECT_NE(device, nullptr) << error;
    return device;
  }

  // Serial strings of the given devices in the order libusb lists them,
  // which is the order in which the bus is walked.
  std::vector<std::string> ListOrder(const std::vector<sim::EmulatedUsbDevice*>& devices) {
    std::vector<std::string> order;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(Tessaline_libusb_context(), &list);
    for (ssize_t i = 0; i < n; ++i)
      for (sim::EmulatedUsbDevice* d : devices)
        if (std::stoi(d->DevNode().substr(17)) == libusb_get_device_address(list[i]))
          order.push_back(d->Spec().serial);
    if (n >= 0) libusb_free_device_list(list, 1);
    return order;
  }

  std::unique_ptr<sim::EmulatedUsbBus> bus_;
};

// A record opened on the libusb path; destroyed (and closed) at scope end.
struct OpenedDevice {
  tlusb_device* device = tlusb_create_usb(1);
  aErr opened = aErrUnknown;
  explicit OpenedDevice(const char* serial) { opened = tlusb_open_tessaline_device(device, serial); }
  ~OpenedDevice() {
    if (device->handle) tlusb_close_tessaline_device(device);
    tlusb_destroy(&device);
  }
};
