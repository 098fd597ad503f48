#include "sim/module/DiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "sim/module/VirtualModule.h"

namespace sim {

namespace {

constexpr int kPollMs = 1000;
constexpr const char* kGroup = "232.2.2.2";
constexpr size_t kDatagram = 16;

}  // namespace

struct DiscoveryResponder::Impl {
  VirtualModule& module;
  DiscoveryResponderConfig cfg;
  int sock = -1;
  int wakeFd = -1;
  std::thread io;
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> answered{0};

  Impl(VirtualModule& m, const DiscoveryResponderConfig& c) : module(m), cfg(c) {}

  void Run() {
    uint8_t buf[64];
    while (!stop) {
      pollfd fds[2] = {{wakeFd, POLLIN, 0}, {sock, POLLIN, 0}};
      int r = poll(fds, 2, kPollMs);
      if (r < 0 && errno != EINTR) return;
      if (r <= 0 || !(fds[1].revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t fromLen = sizeof from;
      ssize_t got = recvfrom(sock, buf, sizeof buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (got != ssize_t(kDatagram) || buf[0] != 0x01) continue;
      if (!module.OnBus()) continue;  // a restarting module does not answer
      uint8_t reply[kDatagram] = {0};
      const uint32_t serial = module.CurrentSerial();
      reply[1] = module.Address();
      reply[2] = uint8_t(cfg.tcpPort);
      reply[3] = uint8_t(cfg.tcpPort >> 8);
      for (int i = 0; i < 4; ++i) reply[4 + i] = uint8_t(serial >> (8 * i));
      reply[12] = module.Model();
      from.sin_port = htons(cfg.replyPort);
      // Counted before sending, so that whoever got the reply also sees the count.
      ++answered;
      if (sendto(sock, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from) !=
          ssize_t(sizeof reply)) {
        --answered;
      }
    }
  }
};

DiscoveryResponder::DiscoveryResponder(VirtualModule& module, const DiscoveryResponderConfig& config)
    : impl_(std::make_unique<Impl>(module, config)) {}

DiscoveryResponder::~DiscoveryResponder() { Stop(); }

bool DiscoveryResponder::Start(std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  Impl& d = *impl_;
  if (d.io.joinable()) return true;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(d.cfg.requestPort);
  if (inet_pton(AF_INET, d.cfg.bindAddress.c_str(), &addr.sin_addr) != 1) {
    *error = "not an IPv4 address: " + d.cfg.bindAddress;
    return false;
  }
  d.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (d.sock < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int on = 1;
  setsockopt(d.sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(d.sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot bind UDP port " + std::to_string(d.cfg.requestPort) + " on " +
             d.cfg.bindAddress + ": " + std::strerror(errno);
    close(d.sock);
    d.sock = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(d.sock, reinterpret_cast<sockaddr*>(&addr), &len);
  d.cfg.requestPort = ntohs(addr.sin_port);
  if (d.cfg.joinGroup) {
    ip_mreq mreq{};
    inet_pton(AF_INET, kGroup, &mreq.imr_multiaddr);
    if (inet_pton(AF_INET, d.cfg.groupInterface.c_str(), &mreq.imr_interface) != 1 ||
        setsockopt(d.sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
      *error = std::string("cannot join ") + kGroup + " on " + d.cfg.groupInterface + ": " +
               std::strerror(errno) + " (is there a multicast route, e.g. 224.0.0.0/4?)";
      close(d.sock);
      d.sock = -1;
      return false;
    }
  }
  d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.wakeFd < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    close(d.sock);
    d.sock = -1;
    return false;
  }
  d.stop = false;
  d.io = std::thread([&d] { d.Run(); });
  return true;
}

void DiscoveryResponder::Stop() {
  Impl& d = *impl_;
  if (!d.io.joinable()) return;
  d.stop = true;
  uint64_t one = 1;
  ssize_t r = write(d.wakeFd, &one, sizeof one);
  (void)r;
  d.io.join();
  close(d.sock);
  close(d.wakeFd);
  d.sock = d.wakeFd = -1;
}

uint16_t DiscoveryResponder::RequestPort() const { return impl_->cfg.requestPort; }

uint32_t DiscoveryResponder::Answered() const { return impl_->answered; }

}  // namespace sim
