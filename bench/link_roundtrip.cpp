// Round trip of one request packet and its reply through a link, next to the
// same exchange written and read directly on the socket pair. The far end is
// the same echoing scripted module in both runs. Prints median and 99th
// percentile per exchange and the ratio link / raw.
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "common/aLink.h"
#include "tests/link/scripted_module.h"
#include "tests/link/socket_stream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmup = 500;
constexpr int kExchanges = 20000;

struct Figures {
  double median;
  double p90;
  double p99;
};

Figures Summarise(std::vector<double> us) {
  if (us.empty()) return {0, 0, 0};
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 90 / 100], us[us.size() * 99 / 100]};
}

const uint8_t kRequest[] = {0x04, 0x03, 0x03, 0x48, 0x20};

Figures Raw() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return {0, 0, 0};
  ScriptedModule module(fds[1]);
  module.Echo(true);
  std::vector<double> us;
  uint8_t reply[64];
  for (int i = 0; i < kWarmup + kExchanges; i++) {
    const auto start = Clock::now();
    send(fds[0], kRequest, sizeof(kRequest), MSG_NOSIGNAL);
    recv(fds[0], reply, sizeof(reply), 0);
    const auto end = Clock::now();
    if (i >= kWarmup) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  close(fds[0]);
  return Summarise(us);
}

uint8_t IsReply(const aPacket* p, void*) { return p->address == 0x04 && p->dataSize == 3; }

Figures ThroughLink() {
  aStreamRef stream = nullptr;
  int peer = -1;
  if (SocketStream_Create(&stream, &peer) != aErrNone) return {0, 0, 0};
  ScriptedModule module(peer);
  module.AnswerSync(0x04);
  int32_t id = aLink_Create(stream);
  if (!id || aLink_Sync(id) != aErrNone) {
    fprintf(stderr, "link did not come up\n");
    return {0, 0, 0};
  }
  module.Echo(true);
  aPacket* request = aPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
  std::vector<double> us;
  for (int i = 0; i < kWarmup + kExchanges; i++) {
    const auto start = Clock::now();
    aLink_PutPacket(id, request);
    aPacket* reply = aLink_AwaitFirst(id, IsReply, nullptr, 1000);
    const auto end = Clock::now();
    if (!reply) {
      fprintf(stderr, "exchange %d: no reply\n", i);
      break;
    }
    aPacket_Destroy(&reply);
    if (i >= kWarmup) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  aPacket_Destroy(&request);
  aLink_Destroy(&id);
  return Summarise(us);
}

}  // namespace

int main() {
  const Figures raw = Raw();
  const Figures link = ThroughLink();
  printf("round trip over a socket pair, %d exchanges (microseconds)\n", kExchanges);
  printf("  raw socket pair : median %8.1f   p90 %8.1f   p99 %8.1f\n", raw.median, raw.p90,
         raw.p99);
  printf("  through the link: median %8.1f   p90 %8.1f   p99 %8.1f\n", link.median, link.p90,
         link.p99);
  printf("  ratio link/raw  : median %8.2f   p90 %8.2f   p99 %8.2f\n", link.median / raw.median,
         link.p90 / raw.p90, link.p99 / raw.p99);
  return 0;
}
