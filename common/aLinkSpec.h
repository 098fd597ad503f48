// Link specifier: which module to reach and through which transport. A fixed
// 128-byte layout (integers in host order), also carried whole in link-server
// announcements.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "common/aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t linkType;
enum {
  LINK_TYPE_NONE = 0,  // only the legacy aLink_Create over a caller's stream
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  AETHER = 4,         // link-server client, as the device API uses it
  AETHER_USB = 5,     // link-server clients as announced for a module served
  AETHER_TCPIP = 6,   //   over USB, TCPIP or SERIAL
  AETHER_SERIAL = 7,
};

#define isAETHER(t) ((t) >= AETHER && (t) <= AETHER_SERIAL)

#define aLINKSPEC_SERIALPORT_LEN 100

typedef struct linkSpec {
  linkType type;                // offset 0
  uint32_t serial_num;          // 4
  uint32_t module;              // 8: module address (0 until learned)
  uint32_t router;              // 12: routing module's address (0 until learned)
  uint32_t router_serial_num;   // 16
  uint32_t model;               // 20: model code (0 in a search: any)
  union {                       // 24: per transport; unused bytes are 0
    struct {
      uint32_t usb_id;          // equal to the serial number
    } usb;
    struct {
      uint32_t ip_address;      // IPv4 in network byte order in memory
      uint32_t ip_port;         // low 16 bits used
    } ip;
    struct {
      uint32_t baud_rate;
      char serial_port[aLINKSPEC_SERIALPORT_LEN];  // NUL-terminated path
    } serial;
    uint8_t raw[104];
  } t;
} linkSpec;

// New all-zero specifier with type set; NULL when out of memory. The caller
// destroys it with aLinkSpec_Destroy.
linkSpec* aLinkSpec_Create(linkType type);
// New copy of spec; NULL when out of memory.
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees *pSpec and sets it to NULL; aErrParam when pSpec or *pSpec is NULL.
aErr aLinkSpec_Destroy(linkSpec** pSpec);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
#endif
