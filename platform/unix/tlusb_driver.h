// The tlusb layer: one module reached over USB, either through the maker's
// kernel driver (a character device "/dev/tessaline.%08X" read and written
// with plain read/write) or through libusb (the module's link interface is
// claimed and bytes move in bulk transfers).
//
// Threads: a record is read by one thread and written by another at the same
// time. Reads use only the IN endpoint and the receive buffer; writes use only
// the OUT endpoint. The consecutive-failure counter and the state are shared
// by both directions and guarded by the record's own lock. Creation, open,
// close and destroy happen while no other thread uses the record.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/aError.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

// Record states.
#define TLUSB_STATE_CREATED 1  // reads and writes: aErrNotReady
#define TLUSB_STATE_CLOSED 2   // aErrConnection
#define TLUSB_STATE_OPENED 3   // module opened, interface not yet claimed: aErrNotReady
#define TLUSB_STATE_READY 4    // link interface claimed, transfers run
#define TLUSB_STATE_FAILED 5   // fifth consecutive I/O failure: aErrIO

#define TLUSB_VENDOR_ID 0x24FF
#define TLUSB_LINK_CLASS 0xFF
#define TLUSB_LINK_SUBCLASS 0x88
#define TLUSB_LINK_PROTOCOL 0x10
#define TLUSB_RX_BUFFER_SIZE 1024
#define TLUSB_READ_TIMEOUT_MS 1000
#define TLUSB_WRITE_TIMEOUT_MS 50
#define TLUSB_WRITE_MAX_FAILURES 10
#define TLUSB_KERNEL_WRITE_MAX_CALLS 1000
// Consecutive aErrIO results absorbed before the record fails.
#define TLUSB_ABSORBED_FAILURES 4
#define TLUSB_SERIAL_STRING_SIZE 256

struct tlusb_device {
  uint32_t useLibusb = 0;  // 1 libusb path, 0 kernel path
  char serialString[TLUSB_SERIAL_STRING_SIZE] = {};
  int32_t fd = 0;                          // kernel path; 0 when none
  libusb_device_handle* handle = nullptr;  // libusb path
  std::atomic<uint32_t> state{0};
  uint8_t interfaceNumber = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  uint8_t rxBuffer[TLUSB_RX_BUFFER_SIZE] = {};  // reader only
  uint32_t rxAvail = 0;                          // reader only
  uint8_t* rxNext = nullptr;                     // reader only
  uint8_t errorCount = 0;  // guarded by lock
  uint16_t inMaxPacket = 0;
  uint16_t outMaxPacket = 0;
  // Reader only: the last refill really waited for input (a read timeout),
  // so the next read blocks by itself and a wait need not sleep.
  bool rxLastWaited = false;
  std::mutex lock;  // errorCount and the transitions of state
};

// --- Shared libusb context ------------------------------------------------

// The process-wide libusb context, created on first use under a mutex. NULL
// when libusb cannot be initialised.
libusb_context* Tessaline_libusb_context(void);
void Tessaline_libusb_init(void);
// Releases the context; the next use creates a fresh one (and so sees the
// bus anew). Call only while no USB stream is open.
void Tessaline_libusb_exit(void);

// --- Records ------------------------------------------------------------------

// A new record in state Created, or NULL when memory runs out. With useLibusb
// 1 the shared libusb context is created if needed.
tlusb_device* tlusb_create_usb(uint32_t useLibusb);
// Closes a held libusb handle, frees the record and sets *pDevice to NULL.
// aErrParam for a missing record.
aErr tlusb_destroy(tlusb_device** pDevice);

// True when the kernel driver's device node for the serial number exists.
bool tlusb_is_kernel_driver_installed(uint32_t serialNumber);

// Opens the module whose USB serial string is exactly serial (case matters).
// libusb path: aErrNotFound, aErrConfiguration (no link interface), aErrBusy
// (claimed elsewhere or vanished), aErrPermission, aErrUnknown,
// aErrInitialization (no libusb context). Kernel path: aErrBusy, aErrIO.
aErr tlusb_open_tessaline_device(tlusb_device* device, const char* serial);
aErr tlusb_open_tessaline_USBlib_device(tlusb_device* device, const char* serial);
aErr tlusb_open_tessaline_kernel_device(tlusb_device* device, const char* serial);

// Writes length bytes (libusb path: endpoint-sized chunks, 50 ms each, at
// most ten failed transfers; aErrWrite when bytes stay unsent).
aErr tlusb_write_to_device(tlusb_device* device, const uint8_t* data, uint32_t length);
aErr tlusb_write_to_USBlib_device(tlusb_device* device, const uint8_t* data, uint32_t length);
aErr tlusb_write_to_kernel_device(tlusb_device* device, const uint8_t* data, uint32_t length);

// Reads one byte: aErrNone with *pData set, aErrNotReady when nothing came
// (a libusb read blocks up to 1000 ms), aErrConnection after close, aErrIO
// once failed.
aErr tlusb_get_from_device(tlusb_device* device, uint8_t* pData);
aErr tlusb_get_from_USBlib_device(tlusb_device* device, uint8_t* pData);
aErr tlusb_get_from_kernel_device(tlusb_device* device, uint8_t* pData);

// Waits up to timeoutMs for input without consuming it. aErrNone when a read
// may now find a byte, aErrTimeout when none arrived. On the libusb path a
// read blocks by itself, so this returns at once unless the last read came
// back early (not ready yet, stalled, absorbed failure); then it pauses.
aErr tlusb_wait_for_input(tlusb_device* device, uint32_t timeoutMs);
// Kernel path: waits on the device node itself.
aErr tlusb_wait_for_kernel_input(tlusb_device* device, uint32_t timeoutMs);

aErr tlusb_close_tessaline_device(tlusb_device* device);
aErr tlusb_close_tessaline_USBlib_device(tlusb_device* device);
aErr tlusb_close_tessaline_kernel_device(tlusb_device* device);

// Finds the link interface (class 0xFF, subclass 0x88, protocol 0x10; the
// last match in configuration 0 wins) and its bulk/interrupt endpoints. 0 on
// success, else a libusb error code (-4 when an endpoint is missing).
int find_usb_endpoints(tlusb_device* device);

// Counts consecutive aErrIO results: the first four are absorbed (a write
// reports aErrNone, a read aErrNotReady), the fifth and later fail the
// record. Any other result resets the count (a failed record keeps it).
// Returns what to report.
aErr _handleErrorTolerance(tlusb_device* device, aErr result, bool isWrite);

// A module: vendor 0x24FF and product below 0x8000. A device whose
// descriptor cannot be read is not one.
bool is_tessaline_device(libusb_device* device);

// True when text is exactly eight upper-case hexadecimal digits.
bool tlusb_is_serial_text(const char* text);

// For tests only: the path prefix of the kernel driver's device nodes
// (default "/dev/tessaline."); NULL restores the default.
void tlusb_set_kernel_node_prefix(const char* prefix);
