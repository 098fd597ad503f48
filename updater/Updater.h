// The update engine: the one object through which the command handlers
// drive discovery, build retrieval, firmware update and recovery.
#pragma once

#include <stdint.h>

#include <string>

class UpdaterDisplayInterface;

class Updater {
 public:
  Updater(const char* url, const char* storeDirectory, UpdaterDisplayInterface& display);

  void Set_UEIBytes_Load(bool enabled) { m_ueiBytesLoad = enabled; }

  const std::string& Url() const { return m_url; }
  const std::string& StoreDirectory() const { return m_storeDirectory; }
  UpdaterDisplayInterface& Display() { return m_display; }

 private:
  std::string m_url;
  std::string m_storeDirectory;
  UpdaterDisplayInterface& m_display;
  uint8_t m_chipKind = 0;
  bool m_ueiBytesLoad = false;
};
