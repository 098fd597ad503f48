#include "updater/UpdateServerRequest.h"

#include <stdio.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>

#include "app/AppInfo.h"
#include "app/Log.h"
#include "common/aVersion.h"
#include "updater/HTTPRequest.h"
#include "updater/UpdateServerAnswer.h"

namespace {

using Query = std::map<std::string, std::string>;

// Why the last request of this thread could not reach the server (empty when
// it did). Per thread, because fetches run on a worker thread.
thread_local std::string t_lastTransportError;

std::string _serial_text(unsigned int serial) {
  char text[16];
  snprintf(text, sizeof(text), "%08X", serial);
  return text;
}

// Sends the request and returns the response when the server accepted it
// (status 200, first line "ok"); otherwise logs why and returns null.
std::unique_ptr<HTTPResponse> _exchange(const char* name, const char* url, Query& query) {
  if (url == nullptr) url = kDefaultHttpUrl;
  std::unique_ptr<HTTPResponse> response;
  t_lastTransportError.clear();
  try {
    response = std::make_unique<HTTPResponse>(HTTPRequest::GET(url, query));
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    t_lastTransportError = e.what();
    return nullptr;
  }
  if (response->get_status() != 200) {
    if (std::string(name) == "ping") {
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response->get_status()),
               response->get_response());
    } else {
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response->get_status()),
               response->get_response());
    }
    return nullptr;
  }
  if (!UpdateServerAnswer::Accepted(response->get_response())) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response->get_request());
    return nullptr;
  }
  return response;
}

// A version reduced to the 8-bit numbers that are compared, or not valid.
struct SortKey {
  bool valid = false;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t patch = 0;
};

SortKey _sort_key(const std::string& version) {
  SortKey key;
  std::vector<std::string> pieces = UpdateServerRequest::SplitTessalineVersion(version);
  if (pieces.size() != 3) return key;
  uint8_t numbers[3];
  try {
    for (size_t i = 0; i < 3; i++) numbers[i] = static_cast<uint8_t>(std::stoi(pieces[i]));
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return key;
  }
  key.valid = true;
  key.major = numbers[0];
  key.minor = numbers[1];
  key.patch = numbers[2];
  return key;
}

// True when a's version is greater than b's. Invalid versions order after
// every valid one and are equal among themselves, so the ordering stays a
// strict weak ordering.
bool _sortVersion(const SortKey& a, const SortKey& b) {
  if (a.valid != b.valid) return a.valid;
  if (!a.valid) return false;
  return !aVersion_IsAtLeastCompare(b.major, b.minor, b.patch, a.major, a.minor, a.patch);
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  Query query{{"op", "hi"}, {"rv", "2"}};
  return _exchange("ping", url, query) != nullptr;
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build, std::string& version,
                                     const char* url) {
  Query query{{"op", "qu"}, {"sn", _serial_text(serial)}};
  std::unique_ptr<HTTPResponse> response = _exchange("QueryBuild", url, query);
  if (!response) return false;
  UpdateServerAnswer::ParseQueryBuild(response->get_response(), build, version);
  return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* version, const char* build,
                                   std::string& text, const char* url, bool noCal) {
  Query query{{"op", "bird"},
              {"sn", _serial_text(serial)},
              {"fw", version != nullptr ? version : ""},
              {"bld", build != nullptr ? build : ""},
              {"no_cal", noCal ? "true" : "false"}};
  std::unique_ptr<HTTPResponse> response = _exchange("GetBuild", url, query);
  if (!response) return false;
  UpdateServerAnswer::ParseGetBuild(response->get_response(), text);
  return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  Query query{{"op", "builds"}, {"sn", _serial_text(serial)}};
  std::unique_ptr<HTTPResponse> response = _exchange("GetBuildList", url, query);
  if (!response) return false;
  UpdateServerAnswer::ParseBuildList(response->get_response(), builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                                          const char* url) {
  if (fingerprint == nullptr) return false;
  char fp[64];
  snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
           fingerprint[3]);
  Query query{{"op", "fix"}, {"fp", fp}, {"brief", "true"}};
  std::unique_ptr<HTTPResponse> response = _exchange("GetRecoveryInfo", url, query);
  if (!response) return false;
  UpdateServerAnswer::ParseRecoveryInfo(response->get_response(), serial, build);
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serial, std::string& token, const char* url) {
  Query query{{"op", "ent_jwt"}, {"sn", _serial_text(serial)}, {"json", "false"}};
  std::unique_ptr<HTTPResponse> response = _exchange("GetDeviceJWT", url, query);
  if (!response) return false;
  return UpdateServerAnswer::ParseDeviceJWT(response->get_response(), token);
}

std::vector<std::string> UpdateServerRequest::SplitTessalineVersion(std::string version) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t dot = version.find('.', start);
    pieces.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (pieces.size() != 3) pieces.clear();
  return pieces;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  struct Entry {
    std::pair<std::string, std::string> build;
    SortKey key;
  };
  std::vector<Entry> entries;
  entries.reserve(builds.size());
  for (const auto& pair : builds) entries.push_back({pair, _sort_key(pair.second)});
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return _sortVersion(a.key, b.key); });
  std::vector<std::pair<std::string, std::string>> sorted;
  sorted.reserve(entries.size());
  for (auto& entry : entries) sorted.push_back(std::move(entry.build));
  return sorted;
}

std::string UpdateServerRequest::LastTransportError() { return t_lastTransportError; }
