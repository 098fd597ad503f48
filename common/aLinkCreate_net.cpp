// Link creation for the TCP/IP, serial-line and link-server client kinds.
#include <map>
#include <mutex>
#include <string>

#include "app/Log.h"
#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "common/aStreamsocket.h"
#include "platform/unix/unix_streamserial.h"

namespace {

// Client links are separate entries even for the same address and port.
int32_t _clientCount = 0;
std::mutex _clientCountMutex;

aErr sOpenTCPIP(int32_t /*serial*/, int32_t address, int32_t port, aStreamRef* out) {
  return aStream_CreateSocket(static_cast<uint32_t>(address), static_cast<uint16_t>(port),
                              out);
}

aErr sOpenClient(int32_t address, int32_t port, int32_t /*client*/, aStreamRef* out) {
  return aStream_CreateClient(static_cast<uint32_t>(address), static_cast<uint32_t>(port),
                              out);
}

// Serial links are known by serial number only; the port each one was made
// on is kept here so that a reset can open it again.
struct SerialPort {
  std::string path;
  uint32_t baudCode;
};
std::map<int32_t, SerialPort> _serialPorts;
std::mutex _serialPortsMutex;

aErr sOpenSerial(int32_t serial, int32_t, int32_t, aStreamRef* out) {
  SerialPort port;
  {
    std::lock_guard<std::mutex> hold(_serialPortsMutex);
    auto found = _serialPorts.find(serial);
    if (found == _serialPorts.end()) return aErrParam;
    port = found->second;
  }
  return aStream_CreateSerial_Packetized(port.path.c_str(), port.baudCode, 0, 0, 0, out);
}

// aLink_Reset reopens links of these kinds through these.
void sRegisterOpeners() {
  static std::once_flag once;
  std::call_once(once, [] {
    aLink_SetStreamOpener(TCPIP, sOpenTCPIP);
    aLink_SetStreamOpener(SERIAL, sOpenSerial);
    aLink_SetStreamOpener(AETHER, sOpenClient);
  });
}

// Serial speed in bits per second to the serial stream's speed code; -1 for
// a speed the stream does not offer.
int sBaudCode(uint32_t baudRate) {
  static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (int code = 0; code < 8; ++code)
    if (kRates[code] == baudRate) return code;
  return -1;
}

// Takes the new entry's stream, adds the first use and starts the link;
// destroys the entry on any failure. Returns the id or 0.
int32_t sFinish(int32_t id, aStreamRef stream, aErr err) {
  if (aLink_Init(id, stream) != id && err == aErrNone) err = aErrConnection;
  if (err == aErrNone) {
    aLinkManager_ChangeUseCount(aLinkManager_LookupEntryByID(id), 1);
    err = aLink_Start(id);
  }
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "link %d: start failed: %s\n", id, aError_GetErrorText(err));
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

}  // namespace

int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port) {
  sRegisterOpeners();
  aLinkEntry* entry =
      aLinkManager_LookupEntryByIdentifier(static_cast<int32_t>(serialNumber), TCPIP);
  if (entry) {
    // A module served by a link server is reached as that server's client.
    if (entry->server) return 0;
    aLinkManager_ChangeUseCount(entry, 1);
    return entry->id;
  }
  const int32_t id = aLinkManager_Create2(static_cast<int32_t>(serialNumber),
                                          static_cast<int32_t>(address),
                                          static_cast<int32_t>(port), TCPIP);
  if (id == 0) return 0;
  aStreamRef stream = nullptr;
  const aErr err = aStream_CreateSocket(address, static_cast<uint16_t>(port), &stream);
  if (err != aErrNone)
    Log::log(DEBUG_Network, "link to %08X: no TCP connection: %s\n", serialNumber,
             aError_GetErrorText(err));
  return sFinish(id, stream, err);
}

int32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  sRegisterOpeners();
  aLinkEntry* entry =
      aLinkManager_LookupEntryByIdentifier(static_cast<int32_t>(serialNumber), SERIAL);
  if (entry) {
    aLinkManager_ChangeUseCount(entry, 1);
    return entry->id;
  }
  int32_t id = aLinkManager_Create(static_cast<int32_t>(serialNumber), 0, SERIAL);
  if (id == 0) return 0;
  const int code = sBaudCode(baudRate);
  if (code < 0) {
    Log::log(DEBUG_Network, "link to %08X: unsupported serial speed %u\n", serialNumber,
             baudRate);
    aLink_Destroy(&id);
    return 0;
  }
  aStreamRef stream = nullptr;
  const aErr err = aStream_CreateSerial_Packetized(portName, static_cast<uint32_t>(code), 0,
                                                   0, 0, &stream);
  if (err != aErrNone) {
    Log::log(DEBUG_Network, "link to %08X: serial port %s: %s\n", serialNumber,
             portName ? portName : "(none)", aError_GetErrorText(err));
  } else {
    std::lock_guard<std::mutex> hold(_serialPortsMutex);
    _serialPorts[static_cast<int32_t>(serialNumber)] = {portName, static_cast<uint32_t>(code)};
  }
  return sFinish(id, stream, err);
}

int32_t aLink_CreateClient(uint32_t address, uint32_t port, int32_t ref) {
  sRegisterOpeners();
  if (ref != 0) {
    aLinkEntry* entry = aLinkManager_LookupEntryByID(ref);
    if (!entry) return 0;
    aLinkManager_ChangeUseCount(entry, 1);
    return ref;
  }
  int32_t client;
  {
    std::lock_guard<std::mutex> hold(_clientCountMutex);
    client = _clientCount++;
  }
  int32_t id = aLinkManager_Create2(static_cast<int32_t>(address),
                                    static_cast<int32_t>(port), client, AETHER);
  if (id == 0) return 0;
  aStreamRef stream = nullptr;
  const aErr err = aStream_CreateClient(address, port, &stream);
  if (err != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return sFinish(id, stream, err);
}
