#include "sim/module/TcpModuleServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/module/VirtualModule.h"

namespace sim {

namespace {

constexpr int kPollMs = 1000;      // the I/O thread re-checks its state this often
constexpr int kSendWaitMs = 1000;  // longest wait for room in the socket buffer

void CloseWithReset(int fd) {
  struct linger lg {};
  lg.l_onoff = 1;
  lg.l_linger = 0;
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
}

}  // namespace

struct TcpModuleServer::Impl {
  VirtualModule& module;
  std::string bindAddress;
  uint16_t port;
  int listenFd = -1;
  int wakeFd = -1;
  std::thread io;

  std::mutex mu;  // guards everything below
  int clientFd = -1;
  bool clientLive = false;  // bytes may flow on clientFd
  bool dropPending = false;
  bool accepting = true;
  bool stop = false;
  uint32_t connections = 0;

  Impl(VirtualModule& m, std::string address, uint16_t p)
      : module(m), bindAddress(std::move(address)), port(p) {}

  void Wake() {  // with mu held, or from the thread that closes wakeFd
    if (wakeFd < 0) return;
    uint64_t one = 1;
    ssize_t r = write(wakeFd, &one, sizeof one);
    (void)r;
  }

  void Send(const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lk(mu);
    if (clientFd < 0 || !clientLive) return;
    size_t done = 0;
    while (done < length) {
      ssize_t r = send(clientFd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r > 0) {
        done += size_t(r);
        continue;
      }
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd pfd{clientFd, POLLOUT, 0};
        if (poll(&pfd, 1, kSendWaitMs) <= 0) return;  // host not reading: give up
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      clientLive = false;  // broken: the I/O thread notices on its next read
      return;
    }
  }

  void OnEvent(LinkEvent event) {
    std::lock_guard<std::mutex> lk(mu);
    switch (event) {
      case LinkEvent::Drop:
        clientLive = false;
        dropPending = true;
        break;
      case LinkEvent::Leave:
        clientLive = false;
        dropPending = true;
        accepting = false;
        break;
      case LinkEvent::Return:
        accepting = true;
        break;
    }
    Wake();
  }

  // Takes the client away; reset: abort the connection as a restarting module would.
  void CloseClient(bool reset) {
    int fd;
    {
      std::lock_guard<std::mutex> lk(mu);
      fd = clientFd;
      clientFd = -1;
      clientLive = false;
    }
    if (fd < 0) return;
    module.HostDetached();
    if (reset) {
      CloseWithReset(fd);
    } else {
      close(fd);
    }
  }

  void Run() {
    uint8_t buf[4096];
    for (;;) {
      pollfd fds[3];
      nfds_t n = 0;
      int client;
      bool accept;
      {
        std::lock_guard<std::mutex> lk(mu);
        if (stop) break;
        client = clientFd;
        accept = accepting;
      }
      fds[n++] = pollfd{wakeFd, POLLIN, 0};
      const nfds_t listenAt = accept ? n : 0;
      if (accept) fds[n++] = pollfd{listenFd, POLLIN, 0};
      const nfds_t clientAt = client >= 0 ? n : 0;
      if (client >= 0) fds[n++] = pollfd{client, POLLIN, 0};
      int r = poll(fds, n, kPollMs);
      if (r < 0 && errno != EINTR) break;
      if (r <= 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        ssize_t rr = read(wakeFd, &count, sizeof count);
        (void)rr;
        bool drop;
        {
          std::lock_guard<std::mutex> lk(mu);
          drop = dropPending;
          dropPending = false;
        }
        if (drop) CloseClient(true);
        continue;  // the set of descriptors may have changed
      }
      if (clientAt && fds[clientAt].revents) {
        ssize_t got = recv(client, buf, sizeof buf, MSG_DONTWAIT);
        if (got > 0) {
          bool live;
          {
            std::lock_guard<std::mutex> lk(mu);
            live = clientLive && clientFd == client;
          }
          if (live) module.FromHost(buf, size_t(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          CloseClient(false);
        }
      }
      if (listenAt && (fds[listenAt].revents & POLLIN)) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          int on = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          CloseClient(true);  // a reconnecting host replaces its old connection
          {
            std::lock_guard<std::mutex> lk(mu);
            clientFd = fd;
            clientLive = true;
            ++connections;
          }
          module.HostAttached();
        }
      }
    }
  }
};

TcpModuleServer::TcpModuleServer(VirtualModule& module, std::string bindAddress, uint16_t port)
    : impl_(std::make_shared<Impl>(module, std::move(bindAddress), port)) {}

TcpModuleServer::~TcpModuleServer() { Stop(); }

bool TcpModuleServer::Start(std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  Impl& d = *impl_;
  if (d.io.joinable()) return true;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(d.port);
  if (inet_pton(AF_INET, d.bindAddress.c_str(), &addr.sin_addr) != 1) {
    *error = "not an IPv4 address: " + d.bindAddress;
    return false;
  }
  d.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.listenFd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int on = 1;
  setsockopt(d.listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(d.listenFd, 8) != 0) {
    *error = "cannot listen on " + d.bindAddress + " port " + std::to_string(d.port) + ": " +
             std::strerror(errno);
    close(d.listenFd);
    d.listenFd = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(d.listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  d.port = ntohs(addr.sin_port);
  d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.wakeFd < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    close(d.listenFd);
    d.listenFd = -1;
    return false;
  }
  std::shared_ptr<Impl> self = impl_;
  d.module.SetSink([self](const uint8_t* p, size_t n) { self->Send(p, n); });
  d.module.SetLinkEventHandler([self](LinkEvent e) { self->OnEvent(e); });
  d.stop = false;
  d.io = std::thread([self] { self->Run(); });
  return true;
}

void TcpModuleServer::Stop() {
  Impl& d = *impl_;
  if (!d.io.joinable()) return;
  d.module.SetSink(nullptr);
  d.module.SetLinkEventHandler(nullptr);
  {
    std::lock_guard<std::mutex> lk(d.mu);
    d.stop = true;
    d.Wake();
  }
  d.io.join();
  d.CloseClient(false);
  std::lock_guard<std::mutex> lk(d.mu);
  close(d.listenFd);
  close(d.wakeFd);
  d.listenFd = -1;
  d.wakeFd = -1;
}

uint16_t TcpModuleServer::Port() const { return impl_->port; }

const std::string& TcpModuleServer::BindAddress() const { return impl_->bindAddress; }

bool TcpModuleServer::Connected() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->clientFd >= 0;
}

uint32_t TcpModuleServer::Connections() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->connections;
}

}  // namespace sim
