// Link creation for modules on USB: the stream is opened by serial number
// and the link must reach byte alignment before it is handed out.
#include <mutex>

#include "app/Log.h"
#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "platform/unix/unix_streamusb.h"

namespace {

aErr sOpenUSB(int32_t serial, int32_t, int32_t, aStreamRef* out) {
  return aStream_CreateUSB(static_cast<uint32_t>(serial), out);
}

}  // namespace

int32_t aLink_CreateUSB(uint32_t serialNumber) {
  static std::once_flag registered;
  std::call_once(registered, [] { aLink_SetStreamOpener(USB, sOpenUSB); });

  aLinkEntry* entry =
      aLinkManager_LookupEntryByIdentifier(static_cast<int32_t>(serialNumber), USB);
  if (entry) {
    // A module served by a link server is reached as that server's client.
    if (entry->server) return 0;
    aLinkManager_ChangeUseCount(entry, 1);
    return entry->id;
  }
  int32_t id = aLinkManager_Create(static_cast<int32_t>(serialNumber), 0, USB);
  if (id == 0) return 0;
  aStreamRef stream = nullptr;
  aErr err = aStream_CreateUSB(serialNumber, &stream);
  if (err != aErrNone)
    Log::log(DEBUG_Network, "link to %08X: USB stream not opened: %s\n", serialNumber,
             aError_GetErrorText(err));
  if (aLink_Init(id, stream) != id && err == aErrNone) err = aErrConnection;
  if (err == aErrNone && stream) {
    aLinkManager_ChangeUseCount(aLinkManager_LookupEntryByID(id), 1);
    err = aLink_Start(id);
    if (err == aErrNone) {
      err = aLink_Sync(id);
      if (err != aErrNone)
        Log::log(DEBUG_Network, "link to %08X: no byte alignment on USB: %s\n", serialNumber,
                 aError_GetErrorText(err));
    }
  }
  if (err != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}
