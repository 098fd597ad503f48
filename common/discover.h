// Module discovery: which modules of a link kind can be reached from this
// host, each described by a linkSpec from which a link can be made.
//
// USB modules are found on the host's USB buses; TCPIP modules answer a UDP
// multicast request (group 232.2.2.2, port 9888) with a 16-byte reply to
// port 9889. A TCPIP enumeration blocks until no reply has come for 2
// seconds.
//
// The networkInterface argument is a local IPv4 address in network byte
// order (as linkSpec.ip_address); 0 or 127.0.0.1 mean every interface.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "common/aLinkSpec.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aDISCOVERY_MULTICAST_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
// Quiet time after which a TCPIP enumeration ends.
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000
// Longest TCPIP enumeration, however many replies keep arriving.
#define aDISCOVERY_MAX_DURATION_MS 30000

// Called once per module found. spec is valid only during the call (copy it
// to keep it). Set *pbCounted to true to count the module; return false to
// stop the enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* pbCounted,
                                          void* vpRef);

// Enumerates the modules of one kind: USB (1) and TCPIP (2). Other kinds find
// nothing. Returns the number of modules the callback counted (at most 255).
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc cbFound,
                                    void* vpRef, uint32_t networkInterface);

// A new linkSpec of the module with that serial number (the caller destroys
// it with aLinkSpec_Destroy), or null when none answers.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber,
                                uint32_t networkInterface);

// A new linkSpec of the first module found with a nonzero serial number, or
// null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Stores the host's IPv4 interface addresses (network byte order) into list,
// at most capacity of them; returns how many. 0 for a null list.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* list, uint32_t capacity);

// Writes address (network byte order) as dotted-decimal text into buffer
// (zero-filled first). Returns the text length, or 0 when the buffer is null
// or shorter than 16 bytes.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length);

// Parses dotted-decimal IPv4 text into *address (network byte order).
bool aDiscovery_ParseIPv4(const char* text, uint32_t* address);

// Per-kind enumerations behind aDiscovery_EnumerateModules.
uint8_t aDiscovery_EnumerateTCPIP(linkType type, aDiscoveryModuleFoundProc cbFound,
                                  void* vpRef, uint32_t networkInterface);
// Supplied by the USB transport (library tl_usb).
uint8_t aDiscovery_EnumerateUSB(linkType type, aDiscoveryModuleFoundProc cbFound,
                                void* vpRef);

// Fills spec from a 16-byte discovery reply received from sender (IPv4,
// network byte order). false when reply is shorter than 16 bytes.
bool aDiscovery_ParseReply(const uint8_t* reply, size_t length, uint32_t sender,
                           linkSpec* spec);

#ifdef __cplusplus
}
#endif
