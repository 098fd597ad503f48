// The requests of the update server. Each sends one GET (HTTPRequest) to the
// base URL, checks the answer (status 200, first line "ok") and reads its
// lines into the caller's variables. None throws: a false result means the
// request failed, and the reason is in the diagnostic log (DEBUG_ServerComm).
// Output variables keep their contents on failure, except GetBuildList's map,
// which is emptied before the request is sent.
//
// A null base URL means the default server over HTTP (kDefaultHttpUrl,
// app/AppInfo.h).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "updater/base64.h"

class UpdateServerRequest {
 public:
  // True when the server answers.
  static bool ping(const char* url);
  // Why the calling thread's last request could not reach the server (the
  // transport's message, e.g. a certificate that could not be verified);
  // empty when it reached the server, whatever the server answered.
  static std::string LastTransportError();

  // The build number text and version text of the build the device should run.
  static bool QueryBuild(unsigned int serial, std::string& build, std::string& version, const char* url);

  // The base64 text of one build's BIRD file (empty when the answer held none).
  static bool GetBuild(unsigned int serial, const char* version, const char* build, std::string& text,
                       const char* url, bool noCal);

  // The device's builds: build number text -> version text.
  static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds, const char* url);

  // The serial number and recommended build for a chip known by its four
  // fingerprint words.
  static bool GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                              const char* url);

  // The device's software-feature token (header.payload.signature).
  static bool GetDeviceJWT(unsigned int serial, std::string& token, const char* url);

  // The builds as (build, version) pairs, highest version first. Versions
  // that are not three decimal numbers come last, in build order.
  static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);

  // The three pieces of a version text split at "." (empty pieces kept), or
  // an empty sequence when there are not exactly three.
  static std::vector<std::string> SplitTessalineVersion(std::string version);
};
