// usb_link_bench: figures for a USB link to a virtual module on the emulated
// bus, through the real libusb: request/reply round trips and the CPU an idle
// link costs. The figures include the emulation's own overhead (umockdev
// answers every usbfs request over a socket), so a real module on a real bus
// is the faster of the two.
//
//   usb_link_bench [ROUND_TRIPS] [IDLE_SECONDS]      defaults 500 and 3
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aTime.h"
#include "platform/unix/tlusb_driver.h"
#include "sim/module/VirtualModule.h"
#include "sim/usb/EmulatedUsbBus.h"
#include "sim/usb/UsbModulePort.h"

namespace {

constexpr uint32_t kSerial = 0x0BE7C401;
constexpr uint8_t kAddress = 2;

uint8_t sSerialReply(const aPacket* p, void*) {
  return p->address == kAddress && p->dataSize >= 7 && p->data[0] == 3 &&
         (p->data[1] & 0x3F) == 9;
}

double sCpuSeconds() {
  rusage r;
  getrusage(RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int trips = argc > 1 ? atoi(argv[1]) : 500;
  const int idleSeconds = argc > 2 ? atoi(argv[2]) : 3;
  if (trips <= 0 || idleSeconds <= 0) {
    fprintf(stderr, "usage: usb_link_bench [ROUND_TRIPS] [IDLE_SECONDS]\n");
    return 2;
  }
  if (!sim::EmulatedUsbBus::PreloadActive()) {
    fprintf(stderr, "usb_link_bench: umockdev's preload library is not loaded\n");
    return 1;
  }
  sim::EmulatedUsbBus bus;
  sim::VirtualModuleConfig config;
  config.serial = kSerial;
  config.address = kAddress;
  config.heartbeatMs = 0;  // quiet while idle
  sim::VirtualModule module(config);
  sim::UsbModulePort port(bus, module, 512);
  std::string error;
  if (!port.Start(&error) || !module.Start()) {
    fprintf(stderr, "usb_link_bench: no virtual module: %s\n", error.c_str());
    return 1;
  }
  const auto t0 = std::chrono::steady_clock::now();
  int32_t id = aLink_CreateUSB(kSerial);
  const double createMs = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - t0)
                              .count();
  if (!id) {
    fprintf(stderr, "usb_link_bench: no link to the virtual module\n");
    return 1;
  }
  printf("link creation (open, claim, start, align): %.1f ms\n", createMs);

  std::vector<double> ms;
  const uint8_t request[] = {3, 0x40 | 9, 0x20};
  for (int i = 0; i < trips; ++i) {
    const auto start = std::chrono::steady_clock::now();
    aPacket* p = aPacket_CreateWithData(kAddress, sizeof request, request);
    aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    aPacket* reply = aLink_AwaitFirst(id, sSerialReply, nullptr, 2000);
    if (!reply) {
      fprintf(stderr, "usb_link_bench: no reply to request %d\n", i);
      aLink_Destroy(&id);
      return 1;
    }
    aPacket_Destroy(&reply);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                           start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  printf("request/reply round trip over %d requests: mean %.2f ms, median %.2f ms, "
         "95th percentile %.2f ms, max %.2f ms\n",
         trips, sum / trips, ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back());

  const double cpu0 = sCpuSeconds();
  const uint64_t wall0 = aTime_GetMSTicks();
  aTime_MSSleep(static_cast<uint64_t>(idleSeconds) * 1000);
  const double cpu = sCpuSeconds() - cpu0;
  const double wall = static_cast<double>(aTime_GetMSTicks() - wall0) / 1000.0;
  printf("idle link for %.1f s: %.3f s CPU in the whole process (%.1f%% of one core, "
         "emulation included)\n",
         wall, cpu, 100.0 * cpu / wall);
  aLink_Destroy(&id);
  return 0;
}
