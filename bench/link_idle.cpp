// CPU cost of one open, aligned, idle link: process CPU time (user + system)
// over 5 seconds, as a percentage of one core. Measured for a stream that
// offers the wait operation and, for comparison, for one that does not.
#include <stdio.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "common/aLink.h"
#include "tests/link/scripted_module.h"
#include "tests/link/socket_stream.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
         u.ru_stime.tv_usec / 1e6;
}

double IdlePercent(bool withWait, double seconds) {
  SocketStreamOptions options;
  options.withWait = withWait;
  aStreamRef stream = nullptr;
  int peer = -1;
  if (SocketStream_Create(&stream, &peer, options) != aErrNone) return -1;
  ScriptedModule module(peer);
  module.AnswerSync(0x04);
  int32_t id = aLink_Create(stream);
  if (!id || aLink_Sync(id) != aErrNone) return -1;
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  aLink_Destroy(&id);
  return 100.0 * cpu / wall;
}

}  // namespace

int main() {
  const double waiting = IdlePercent(true, 5.0);
  printf("idle link for 5 s, stream with wait operation   : %.3f %% of one core (target < 1 %%)\n",
         waiting);
  const double polling = IdlePercent(false, 5.0);
  printf("idle link for 5 s, stream without wait operation: %.3f %% of one core\n", polling);
  return waiting >= 0 && waiting < 1.0 ? 0 : 1;
}
