#include "platform/unix/unix_streamserial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "common/aStream_CobsEncoding.h"
#include "common/aTime.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
// Pause of a wait on a hung-up port.
constexpr int kHangupPauseMs = 100;

struct SerialStream {
  uint32_t baudIndex;
  char portPath[aSERIAL_MAXPATH + 1];
  int fd;  // -1 while closed
  struct termios savedSettings;
  struct termios settings;
  uint16_t check;
};

bool sValid(const SerialStream* s) { return s && s->check == kSerialCheck; }

speed_t sSpeed(uint32_t baudIndex) {
  static const speed_t kSpeeds[] = {B2400,  B4800,  B9600,   B19200,
                                    B38400, B57600, B115200, B230400};
  return baudIndex < sizeof(kSpeeds) / sizeof(kSpeeds[0]) ? kSpeeds[baudIndex] : B0;
}

aErr sStreamOpenSerial(SerialStream* s, uint8_t parity, uint8_t dataBits,
                       uint8_t stopBits) {
  // Non-blocking open: do not wait for carrier; never become the
  // controlling terminal.
  s->fd = open(s->portPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0) {
    const int error = errno;
    s->fd = -1;
    if (error == ENOENT) return aErrNotFound;
    if (error == EACCES) return aErrPermission;
    return aErrIO;
  }
  if (fcntl(s->fd, F_SETFL, 0) != 0) return aErrIO;
  if (tcgetattr(s->fd, &s->savedSettings) != 0) return aErrIO;
  s->settings = s->savedSettings;
  s->settings.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  s->settings.c_oflag = 0;
  s->settings.c_cflag = CREAD | CLOCAL | (dataBits ? CS7 : CS8) |
                        (parity ? PARENB : 0) | (stopBits ? CSTOPB : 0);
  s->settings.c_lflag = 0;
  // Reads return at once with whatever is waiting, possibly nothing.
  s->settings.c_cc[VMIN] = 0;
  s->settings.c_cc[VTIME] = 0;
  const speed_t speed = sSpeed(s->baudIndex);
  if (cfsetispeed(&s->settings, speed) != 0 || cfsetospeed(&s->settings, speed) != 0)
    return aErrIO;
  if (tcsetattr(s->fd, TCSANOW, &s->settings) != 0) return aErrIO;
  if (tcflush(s->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialStreamGet(uint8_t* pData, void* ref) {
  SerialStream* s = static_cast<SerialStream*>(ref);
  if (!sValid(s) || !pData || s->fd < 0) return aErrParam;
  const ssize_t n = read(s->fd, pData, 1);
  if (n == 1) return aErrNone;
  if (n == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr sSerialStreamWrite(const uint8_t* pData, uint64_t length, void* ref) {
  SerialStream* s = static_cast<SerialStream*>(ref);
  if (!sValid(s) || (length && !pData) || s->fd < 0) return aErrParam;
  const ssize_t n = write(s->fd, pData, length);
  if (n < 0 || static_cast<uint64_t>(n) != length) return aErrIO;
  if (tcdrain(s->fd) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialStreamPut(uint8_t data, void* ref) {
  return sSerialStreamWrite(&data, 1, ref);
}

// Blocks until the port has input (or has failed, so that get reports it).
aErr sSerialStreamWait(void* ref, uint32_t timeoutMs) {
  SerialStream* s = static_cast<SerialStream*>(ref);
  if (!sValid(s) || s->fd < 0) return aErrParam;
  const int limit = static_cast<int>(timeoutMs > 60000 ? 60000 : timeoutMs);
  struct pollfd p = {s->fd, POLLIN, 0};
  const int n = poll(&p, 1, limit);
  if (n <= 0) return aErrTimeout;
  if (!(p.revents & (POLLHUP | POLLERR | POLLNVAL))) return aErrNone;
  int waiting = 0;
  if (ioctl(s->fd, FIONREAD, &waiting) == 0 && waiting > 0) return aErrNone;
  {
    // Hung up (the far end of a pseudo-terminal closed, an adapter went
    // away): the port stays "ready" with nothing to read, so pace the reader.
    aTime_MSSleep(limit < kHangupPauseMs ? limit : kHangupPauseMs);
  }
  return aErrTimeout;
}

aErr sSerialStreamDelete(void* ref) {
  SerialStream* s = static_cast<SerialStream*>(ref);
  if (!sValid(s)) return aErrParam;
  if (s->fd >= 0) {
    tcsetattr(s->fd, TCSANOW, &s->savedSettings);
    close(s->fd);
    s->fd = -1;
    memset(&s->savedSettings, 0, sizeof(s->savedSettings));
  }
  s->check = 0;
  free(s);
  return aErrNone;
}

// Checks the arguments and opens the port. On success *pRecord holds the
// open record; on failure nothing stays open.
aErr sCreateRecord(const char* portPath, uint32_t baudIndex, uint8_t parity,
                   uint8_t dataBits, uint8_t stopBits, aStreamRef* pStream,
                   SerialStream** pRecord) {
  if (pStream) *pStream = nullptr;
  if (!portPath || !pStream || dataBits > 1 || stopBits > 1) return aErrResource;
  if (strlen(portPath) > aSERIAL_MAXPATH) return aErrResource;
  SerialStream* s = static_cast<SerialStream*>(calloc(1, sizeof(SerialStream)));
  if (!s) return aErrResource;
  s->fd = -1;
  s->baudIndex = baudIndex;
  strncpy(s->portPath, portPath, aSERIAL_MAXPATH);
  s->check = kSerialCheck;
  const aErr err = sStreamOpenSerial(s, parity, dataBits, stopBits);
  if (err != aErrNone) {
    sSerialStreamDelete(s);
    return err;
  }
  *pRecord = s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* portPath, uint32_t baudIndex, uint8_t parity,
                          uint8_t dataBits, uint8_t stopBits, aStreamRef* pStream) {
  SerialStream* s = nullptr;
  const aErr err =
      sCreateRecord(portPath, baudIndex, parity, dataBits, stopBits, pStream, &s);
  if (err != aErrNone) return err;
  aStreamRef stream = aStream_Create(sSerialStreamGet, sSerialStreamPut,
                                     sSerialStreamWrite, sSerialStreamDelete, s);
  if (!stream) {
    sSerialStreamDelete(s);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sSerialStreamWait);
  *pStream = stream;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* portPath, uint32_t baudIndex,
                                     uint8_t parity, uint8_t dataBits,
                                     uint8_t stopBits, aStreamRef* pStream) {
  SerialStream* s = nullptr;
  aErr err = sCreateRecord(portPath, baudIndex, parity, dataBits, stopBits, pStream, &s);
  if (err != aErrNone) return err;
  err = aStream_CreateCobsEncodingWithWait(sSerialStreamGet, sSerialStreamPut,
                                           sSerialStreamWrite, sSerialStreamDelete,
                                           sSerialStreamWait, s, pStream);
  if (err != aErrNone) sSerialStreamDelete(s);
  return err;
}
