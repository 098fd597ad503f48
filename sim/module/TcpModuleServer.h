// Puts a VirtualModule on a TCP port: the module side of a TCP link.
//
// One host connection at a time carries raw packet bytes both ways. A new
// connection replaces the current one and starts a fresh session. When the
// module drops its link (LinkEvent::Drop or Leave) the connection is reset;
// while the module restarts no connection is accepted (the kernel queues it
// and it is taken when the module is back).
//
// The server installs itself as the module's sink and link event handler.
// Threads: one I/O thread, started by Start and joined by Stop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

class VirtualModule;

class TcpModuleServer {
 public:
  // bindAddress: dotted IPv4 text ("127.0.0.1", "0.0.0.0"); port 0: a free one.
  TcpModuleServer(VirtualModule& module, std::string bindAddress, uint16_t port);
  ~TcpModuleServer();
  TcpModuleServer(const TcpModuleServer&) = delete;
  TcpModuleServer& operator=(const TcpModuleServer&) = delete;

  // Binds, listens and starts the I/O thread. False with a reason on failure.
  bool Start(std::string* error);
  void Stop();

  uint16_t Port() const;            // the port listened on (after Start)
  const std::string& BindAddress() const;
  bool Connected() const;           // a host connection is open
  uint32_t Connections() const;     // connections accepted so far

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with the callbacks given to the module
};

}  // namespace sim
