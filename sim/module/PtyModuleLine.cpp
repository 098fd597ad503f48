#include "sim/module/PtyModuleLine.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/module/VirtualModule.h"
#include "sim/module/WireCodec.h"

namespace sim {

namespace {

constexpr int kPollMs = 1000;
constexpr int kWriteWaitMs = 1000;
constexpr uint8_t kSerialMaxPayload = 27;

}  // namespace

struct PtyModuleLine::Impl {
  VirtualModule& module;
  int master = -1;
  int slave = -1;  // our own hold on the terminal side
  int wakeFd = -1;
  std::string path;
  std::thread io;

  mutable std::mutex mu;  // guards the counters, the fault and stop
  bool stop = false;
  bool corruptNext = false;
  uint32_t framesIn = 0;
  uint32_t badFrames = 0;
  uint32_t framesOut = 0;

  explicit Impl(VirtualModule& m) : module(m) {}

  void Send(const uint8_t* packet, size_t length) {
    std::vector<uint8_t> raw(packet, packet + length);
    raw.push_back(Crc8(packet, length));
    {
      std::lock_guard<std::mutex> lk(mu);
      if (master < 0) return;
      if (corruptNext) {
        raw.back() ^= 0x5A;
        corruptNext = false;
      }
    }
    std::vector<uint8_t> frame = CobsEncode(raw.data(), raw.size());
    frame.push_back(0);
    if (frame.size() > 32) return;  // cannot travel on a serial link
    std::lock_guard<std::mutex> lk(mu);
    size_t done = 0;
    while (done < frame.size()) {
      ssize_t r = write(master, frame.data() + done, frame.size() - done);
      if (r > 0) {
        done += size_t(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EAGAIN) {
        pollfd pfd{master, POLLOUT, 0};
        if (poll(&pfd, 1, kWriteWaitMs) <= 0) return;  // nobody reads: drop
        continue;
      }
      return;
    }
    ++framesOut;
  }

  void OnEvent(LinkEvent event) {
    // A serial line has no connection to drop; a restarting module is just
    // silent on it and starts a fresh session when it is back.
    if (event == LinkEvent::Leave) module.HostDetached();
    if (event == LinkEvent::Return) module.HostAttached();
  }

  void Run() {
    FrameCollector collector(31);
    uint8_t buf[512];
    for (;;) {
      {
        std::lock_guard<std::mutex> lk(mu);
        if (stop) return;
      }
      pollfd fds[2] = {{wakeFd, POLLIN, 0}, {master, POLLIN, 0}};
      int r = poll(fds, 2, kPollMs);
      if (r < 0 && errno != EINTR) return;
      if (r <= 0) continue;
      if (fds[0].revents & POLLIN) continue;  // stop is checked at the top
      if (!(fds[1].revents & POLLIN)) continue;
      ssize_t got = read(master, buf, sizeof buf);
      if (got <= 0) continue;
      for (ssize_t i = 0; i < got; ++i) {
        if (!collector.Push(buf[i])) continue;
        bool tooLong = false;
        std::vector<uint8_t> encoded = collector.Take(&tooLong);
        std::vector<uint8_t> decoded;
        size_t packetLength = 0;
        bool ok = !tooLong && CobsDecode(encoded.data(), encoded.size(), &decoded) &&
                  CheckFrame(decoded, &packetLength);
        {
          std::lock_guard<std::mutex> lk(mu);
          if (ok) {
            ++framesIn;
          } else {
            ++badFrames;
          }
        }
        if (ok) module.FromHostPacket(decoded.data(), packetLength);
      }
    }
  }
};

PtyModuleLine::PtyModuleLine(VirtualModule& module) : impl_(std::make_shared<Impl>(module)) {}

PtyModuleLine::~PtyModuleLine() { Stop(); }

bool PtyModuleLine::Start(std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  Impl& d = *impl_;
  if (d.io.joinable()) return true;
  char name[128] = {0};
  if (openpty(&d.master, &d.slave, name, nullptr, nullptr) != 0) {
    *error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  d.path = name;
  termios tio{};
  tcgetattr(d.slave, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(d.slave, TCSANOW, &tio);
  fcntl(d.master, F_SETFL, fcntl(d.master, F_GETFL) | O_NONBLOCK);
  fcntl(d.master, F_SETFD, FD_CLOEXEC);
  fcntl(d.slave, F_SETFD, FD_CLOEXEC);
  d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.wakeFd < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    close(d.master);
    close(d.slave);
    d.master = d.slave = -1;
    return false;
  }
  std::shared_ptr<Impl> self = impl_;
  d.module.SetMaxPayload(kSerialMaxPayload);
  d.module.SetSink([self](const uint8_t* p, size_t n) { self->Send(p, n); });
  d.module.SetLinkEventHandler([self](LinkEvent e) { self->OnEvent(e); });
  d.module.HostAttached();
  d.stop = false;
  d.io = std::thread([self] { self->Run(); });
  return true;
}

void PtyModuleLine::Stop() {
  Impl& d = *impl_;
  if (!d.io.joinable()) return;
  d.module.SetSink(nullptr);
  d.module.SetLinkEventHandler(nullptr);
  d.module.HostDetached();
  {
    std::lock_guard<std::mutex> lk(d.mu);
    d.stop = true;
    uint64_t one = 1;
    ssize_t r = write(d.wakeFd, &one, sizeof one);
    (void)r;
  }
  d.io.join();
  std::lock_guard<std::mutex> lk(d.mu);
  close(d.master);
  close(d.slave);
  close(d.wakeFd);
  d.master = d.slave = d.wakeFd = -1;
}

const std::string& PtyModuleLine::Path() const { return impl_->path; }

uint32_t PtyModuleLine::FramesIn() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->framesIn;
}

uint32_t PtyModuleLine::BadFrames() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->badFrames;
}

uint32_t PtyModuleLine::FramesOut() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->framesOut;
}

void PtyModuleLine::CorruptNextFrame() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->corruptNext = true;
}

}  // namespace sim
