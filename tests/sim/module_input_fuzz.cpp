// Fuzz target: arbitrary bytes from a host, raw and as serial frames, must
// never crash the virtual module or make it misbehave under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/module/VirtualModule.h"
#include "sim/module/WireCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::VirtualModuleConfig config;
  config.heartbeatMs = 0;
  config.blockSize = 64;
  sim::VirtualModuleConfig routed;
  routed.address = 4;
  config.network.push_back(routed);
  // Not started: requests are handled on this thread and their replies queued.
  sim::VirtualModule module(config);
  module.HostAttached();
  module.FromHost(data, size);

  sim::FrameCollector collector;
  for (size_t i = 0; i < size; ++i) {
    if (!collector.Push(data[i])) continue;
    bool tooLong = false;
    std::vector<uint8_t> encoded = collector.Take(&tooLong);
    std::vector<uint8_t> decoded;
    size_t n = 0;
    if (!tooLong && sim::CobsDecode(encoded.data(), encoded.size(), &decoded) &&
        sim::CheckFrame(decoded, &n)) {
      module.FromHostPacket(decoded.data(), n);
    }
  }
  return 0;
}
