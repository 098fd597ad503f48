// TCPIP module discovery over UDP multicast, and IPv4 address text.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "app/Log.h"
#include "common/aTime.h"
#include "common/discover.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Sends one discovery request through the interface with the given local
// address (0: the system chooses). true when it went out.
bool sSendRequest(uint32_t localAddress) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  int on = 1;
  struct in_addr interface = {localAddress};
  unsigned char ttl = 1;  // the request never leaves the local segment
  bool sent = setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
              setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof(interface)) == 0 &&
              setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0;
  if (sent) {
    struct sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_MULTICAST_GROUP, &group.sin_addr);
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE] = {0x01};
    sent = sendto(sock, request, sizeof(request), 0,
                  reinterpret_cast<const struct sockaddr*>(&group),
                  sizeof(group)) == static_cast<ssize_t>(sizeof(request));
  }
  if (close(sock) != 0) sent = false;
  return sent;
}

// One request through every IPv4 interface but loopback; one through the
// system's choice when the list cannot be read.
bool sSendToAll() {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sSendRequest(0);
  bool sent = false;
  for (struct ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t address =
        reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (address == 0 || address == kLoopback) continue;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof(text));
    const bool ok = sSendRequest(address);
    Log::log(DEBUG_Network, "discovery request via %s (%s): %s\n", entry->ifa_name, text,
             ok ? "sent" : "failed");
    sent = sent || ok;
  }
  freeifaddrs(list);
  return sent;
}

// The socket on which replies arrive, or -1.
int sOpenReplySocket(uint32_t localAddress) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  int on = 1;
  struct timeval timeout = {aDISCOVERY_REPLY_TIMEOUT_MS / 1000,
                            (aDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000};
  struct sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(aDISCOVERY_REPLY_PORT);
  local.sin_addr.s_addr = localAddress;
  if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      bind(sock, reinterpret_cast<const struct sockaddr*>(&local), sizeof(local)) != 0 ||
      setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    Log::log(DEBUG_Network, "discovery: cannot listen on UDP port %d\n",
             aDISCOVERY_REPLY_PORT);
    close(sock);
    return -1;
  }
  return sock;
}

}  // namespace

uint8_t aDiscovery_EnumerateTCPIP(linkType type, aDiscoveryModuleFoundProc cbFound,
                                  void* vpRef, uint32_t networkInterface) {
  if (!cbFound) return 0;
  const uint32_t local = networkInterface == kLoopback ? 0 : networkInterface;
  const int replies = sOpenReplySocket(local);
  const bool sent = local ? sSendRequest(local) : sSendToAll();
  uint8_t count = 0;
  if (replies >= 0 && sent) {
    const uint64_t end = aTime_GetMSTicks() + aDISCOVERY_MAX_DURATION_MS;
    bool more = true;
    while (more && aTime_GetMSTicks() < end) {
      uint8_t reply[aDISCOVERY_DATAGRAM_SIZE];
      struct sockaddr_in sender = {};
      socklen_t senderLength = sizeof(sender);
      const ssize_t n = recvfrom(replies, reply, sizeof(reply), 0,
                                 reinterpret_cast<struct sockaddr*>(&sender), &senderLength);
      if (n < 0) break;  // quiet for the reply time-out, or failed
      linkSpec* spec = aLinkSpec_Create(type);
      if (!spec) break;
      // Shorter datagrams are not replies.
      if (aDiscovery_ParseReply(reply, static_cast<size_t>(n), sender.sin_addr.s_addr, spec)) {
        bool counted = false;
        more = cbFound(spec, &counted, vpRef);
        if (counted && count < UINT8_MAX) ++count;  // the count saturates
      }
      aLinkSpec_Destroy(&spec);
    }
  }
  if (replies >= 0) close(replies);
  return count;
}

bool aDiscovery_ParseIPv4(const char* text, uint32_t* address) {
  if (!text || !address) return false;
  struct in_addr parsed = {};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  *address = parsed.s_addr;
  return true;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length) {
  if (!buffer || length < INET_ADDRSTRLEN) return 0;
  memset(buffer, 0, length);
  struct in_addr in = {address};
  if (!inet_ntop(AF_INET, &in, buffer, static_cast<socklen_t>(length))) return 0;
  return strnlen(buffer, length);
}
