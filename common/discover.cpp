#include "common/discover.h"

#include <czmq.h>
#include <string.h>

namespace {

struct Search {
  linkSpec* result;
  bool firstNonZero;  // take the first module with a serial number
};

bool sMatch(const linkSpec* found, bool* pbCounted, void* vpRef) {
  Search* search = static_cast<Search*>(vpRef);
  const bool match = search->firstNonZero ? found->serial_num != 0
                                          : found->serial_num == search->result->serial_num;
  if (!match) return true;
  *search->result = *found;
  *pbCounted = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool firstNonZero,
                uint32_t networkInterface) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (!spec) return nullptr;
  spec->serial_num = serialNumber;
  Search search = {spec, firstNonZero};
  if (aDiscovery_EnumerateModules(type, sMatch, &search, networkInterface) == 0)
    aLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc cbFound,
                                    void* vpRef, uint32_t networkInterface) {
  if (!cbFound) return 0;
  switch (type) {
    case USB:
      return aDiscovery_EnumerateUSB(type, cbFound, vpRef);
    case TCPIP:
      return aDiscovery_EnumerateTCPIP(type, cbFound, vpRef, networkInterface);
    default:
      // The link-server kinds are not searched: this tool keeps the link
      // server switched off.
      return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber,
                                uint32_t networkInterface) {
  return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, 0, true, networkInterface);
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* list, uint32_t capacity) {
  if (!list) return 0;
  ziflist_t* interfaces = ziflist_new();
  if (!interfaces) return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(interfaces); name && count < capacity;
       name = ziflist_next(interfaces)) {
    const char* address = ziflist_address(interfaces);
    if (!address) break;
    uint32_t parsed = 0;
    if (aDiscovery_ParseIPv4(address, &parsed)) list[count++] = parsed;
  }
  ziflist_destroy(&interfaces);
  return count;
}

bool aDiscovery_ParseReply(const uint8_t* reply, size_t length, uint32_t sender,
                           linkSpec* spec) {
  if (!reply || !spec || length < aDISCOVERY_DATAGRAM_SIZE) return false;
  const uint32_t serial = static_cast<uint32_t>(reply[4]) | (static_cast<uint32_t>(reply[5]) << 8) |
                          (static_cast<uint32_t>(reply[6]) << 16) |
                          (static_cast<uint32_t>(reply[7]) << 24);
  spec->serial_num = serial;
  spec->module = reply[1];
  spec->router = reply[1];
  spec->router_serial_num = serial;
  spec->model = reply[12];
  spec->t.ip.ip_address = sender;
  spec->t.ip.ip_port = static_cast<uint32_t>(reply[2]) | (static_cast<uint32_t>(reply[3]) << 8);
  return true;
}
