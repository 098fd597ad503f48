// USB streams: the link to a module on USB, opened by its serial number.
// When the maker's kernel driver has made "/dev/tessaline.%08X" for the
// module, the stream reads and writes that node; otherwise it claims the
// module's link interface through libusb. A read waits up to one second for
// a bulk transfer and hands out its bytes one by one; writes go out in
// endpoint-sized chunks. The stream has a wait operation, so a link reader
// sleeps while the module is quiet.
#pragma once

#include <stdint.h>

#include "common/aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// Opens the module with that serial number. On success *pStream holds a new
// stream that the caller destroys with aStream_Destroy (which releases the
// module). Errors: aErrParam (serial 0 or no pStream), aErrNotFound (no such
// module on the bus), aErrConfiguration (it has no link interface), aErrBusy
// (claimed by another program, or it vanished while opening), aErrPermission
// (no access to the USB device), aErrUnknown (other claim failure), aErrIO
// (kernel node cannot be opened), aErrInitialization (libusb unusable),
// aErrMemory, aErrResource.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* pStream);

#ifdef __cplusplus
}
#endif
