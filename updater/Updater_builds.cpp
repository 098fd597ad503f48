// Build retrieval: the server's and the store's build lists, the device
// token, and fetching one build into the store while a spinner turns.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aDirectory.h"
#include "updater/BirdFile.h"
#include "updater/KeyValueStore.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"
#include "updater/base64.h"

namespace {

const char* const kSpinnerLabel = "Downloading";

// What the fetch worker receives, by value. It reads the copies and writes
// only *payload; the result travels through the promise.
struct DownloadJob {
  const Updater* updater;
  std::promise<bool>& result;
  uint32_t serial;
  std::string version;
  std::string build;
  std::string* payload;
  bool noCal;
};

void _download_worker(DownloadJob job) {
  bool ok = false;
  try {
    ok = UpdateServerRequest::GetBuild(job.serial, job.version.c_str(), job.build.c_str(), *job.payload,
                                       job.updater->Url().c_str(), job.noCal);
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "Download worker: %s\n", e.what());
    ok = false;
  }
  job.result.set_value(ok);
}

// Reads leading decimal digits as an unsigned 32-bit number. False when the
// text does not begin with a digit or the number does not fit.
bool _read_build_number(const std::string& text, uint32_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

// A build number key or answer as a number; 0 (logged) when it is not one.
uint32_t _build_from_text(const std::string& text) {
  uint32_t value = 0;
  if (!_read_build_number(text, value)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return value;
}

bool _valid_build(uint32_t serial, uint32_t build, const char* url) {
  BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
  for (const auto& entry : builds) {
    if (_build_from_text(entry.first) == build) return true;
  }
  return false;
}

// True when the bytes are a BIRD file whose payload inflates: a truncated or
// garbled answer is refused before it can replace anything in the store.
// After "Server request failed": says why the server could not be reached
// (an unverifiable certificate, a time-out, a refused connection), when known.
void _report_transport_error(UpdaterDisplayInterface& display) {
  const std::string reason = UpdateServerRequest::LastTransportError();
  if (!reason.empty()) display.message(UpdaterDisplayInterface::ERROR, "%s", reason.c_str());
}

bool _is_bird_data(const unsigned char* data, unsigned long length) {
  if (length <= 6 || memcmp(data, BirdFile::BIRD_FILE_SIGNATURE, 4) != 0 || data[4] == 0 || data[5] == 0) {
    return false;
  }
  try {
    BirdFile probe(data, length);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serial, std::string buildText, bool override, bool noCal) {
  UpdaterDisplayInterface& d = m_display;
  uint32_t build = 0;
  if (!buildText.empty() && !_read_build_number(buildText, build)) {
    d.message(UpdaterDisplayInterface::ERROR, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serial == 0) {
    d.message(UpdaterDisplayInterface::ERROR, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(m_url.c_str())) {
    d.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", m_url.c_str());
    _report_transport_error(d);
    return 0;
  }
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(d, m_storeDirectory.c_str(), "Download_Firmware");
  if (!store) return 0;

  UpdaterStoreItem device;
  if (!store->FindDevice(serial, &device)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serial);
    } catch (const std::runtime_error& e) {
      Log::log(DEBUG_Updater, "%s\n", e.what());
      d.message(UpdaterDisplayInterface::ERROR, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string latestBuild;
  std::string version;
  if (!UpdateServerRequest::QueryBuild(serial, latestBuild, version, m_url.c_str())) {
    d.message(UpdaterDisplayInterface::ERROR, "No build information for device");
    return 0;
  }
  if (build == 0) build = _build_from_text(latestBuild);

  d.message(UpdaterDisplayInterface::INFO, "Retrieving build %u", build);
  if (override) {
    d.message(UpdaterDisplayInterface::INFO, "Override specified, skipping validation of build %u", build);
  } else {
    d.message(UpdaterDisplayInterface::INFO, "Validating build %u with server", build);
    if (!_valid_build(serial, build, m_url.c_str())) {
      d.message(UpdaterDisplayInterface::ERROR, "No valid build %u", build);
      return 0;
    }
    d.message(UpdaterDisplayInterface::INFO, "Build %u is valid", build);
  }

  buildText = std::to_string(build);
  std::string payload;
  std::promise<bool> promise;
  std::future<bool> future = promise.get_future();
  uint64_t started = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  // The worker ends when the request does: the HTTP client's connect
  // time-out and low-speed limit bound every request.
  std::thread worker;
  try {
    worker = std::thread(_download_worker, DownloadJob{this, promise, serial, version, buildText, &payload, noCal});
  } catch (const std::system_error& e) {
    d.message(UpdaterDisplayInterface::ERROR, "Could not start the download: %s", e.what());
    return 0;
  }
  d.update_spinner(true, kSpinnerLabel);
  while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    d.update_spinner(true, kSpinnerLabel);
  }
  d.update_spinner(false, kSpinnerLabel);
  bool downloaded = future.get();
  worker.join();
  uint64_t finished = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  Log::log(DEBUG_APP, "Download of build %u took %llu ms\n", build,
           static_cast<unsigned long long>(finished - started));

  if (!downloaded) d.message(UpdaterDisplayInterface::ERROR, "Download failed");
  if (payload.empty()) {
    d.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  unsigned long length = 0;
  std::unique_ptr<unsigned char, decltype(&free)> data(
      reinterpret_cast<unsigned char*>(base64_decode(payload.c_str(), payload.size(), &length)), &free);
  if (!data) {
    d.message(UpdaterDisplayInterface::ERROR,
              "The server's answer for build %u is not valid Base64; nothing was stored", build);
    return 0;
  }
  if (!_is_bird_data(data.get(), length)) {
    d.message(UpdaterDisplayInterface::ERROR,
              "The server sent build %u, but it is not a valid BIRD file; nothing was stored", build);
    return 0;
  }
  std::string timeText = KeyValueStore::TimeStamp();
  std::string fileName = buildText + ".bird";
  aErr written = device.WriteFile(fileName.c_str(), data.get(), length);
  if (written != aErrNone) {
    d.message(UpdaterDisplayInterface::ERROR, "Failed to write file with %d", static_cast<int>(written));
    d.message(UpdaterDisplayInterface::ERROR, "Check that %s is writable and has free space",
              device.FullPath().c_str());
    return 0;
  }
  device.settings.Add("LATEST_DOWNLOAD", fileName);
  device.settings.Add("LAST_DOWNLOAD_DATE", timeText);
  device.settings.Save(device.SettingsPath().c_str());
  return build;
}

BuildList Updater::Get_BuildList(uint32_t serial) {
  BuildList builds;
  if (!UpdateServerRequest::ping(m_url.c_str())) {
    m_display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", m_url.c_str());
    _report_transport_error(m_display);
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serial, builds, m_url.c_str())) {
    m_display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve builds for %08X", serial);
  }
  return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
  std::string token;
  if (!UpdateServerRequest::ping(m_url.c_str())) {
    m_display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", m_url.c_str());
    _report_transport_error(m_display);
    return token;
  }
  if (!UpdateServerRequest::GetDeviceJWT(serial, token, m_url.c_str())) {
    m_display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve jwt for %08X", serial);
  }
  return token;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial) {
  BuildList builds;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(m_display, m_storeDirectory.c_str(), "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem& item : items) {
    std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string value;
    if (item.IsValid()) {
      std::string path = item.basePath + "/" + item.name;
      if (BirdFile::VerifyFile(path.c_str())) {
        try {
          BirdFile bird(path.c_str());
          std::string version = bird.GetVersion();
          if (!version.empty()) {
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            value = version;
          }
        } catch (const std::runtime_error& e) {
          // A damaged stored file is listed without a version.
          Log::log(DEBUG_Updater, "Could NOT load birdfile: %s (%s)\n", path.c_str(), e.what());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, value);
  }
  return builds;
}
