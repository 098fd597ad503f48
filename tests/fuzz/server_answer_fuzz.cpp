// Feeds arbitrary answer bodies to every update-server answer parser and the
// build sort, and checks what each promises about its results.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "updater/UpdateServerAnswer.h"
#include "updater/UpdateServerRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  const char* text = body.c_str();

  UpdateServerAnswer::Accepted(text);

  std::string build = "unchanged";
  std::string version = "unchanged";
  UpdateServerAnswer::ParseQueryBuild(text, build, version);
  if (build.find('\n') != std::string::npos || version.find_first_of("\r\n") != std::string::npos) abort();

  std::string payload = "unchanged";
  UpdateServerAnswer::ParseGetBuild(text, payload);
  if (payload.find('\n') != std::string::npos) abort();

  std::map<std::string, std::string> builds;
  UpdateServerAnswer::ParseBuildList(text, builds);
  for (const auto& entry : builds) {
    if (entry.first.empty() || entry.first.find_first_of(";\r\n") != std::string::npos) abort();
  }
  auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  if (sorted.size() != builds.size()) abort();
  for (const auto& entry : sorted) {
    auto found = builds.find(entry.first);
    if (found == builds.end() || found->second != entry.second) abort();
  }

  unsigned int serial = 0;
  unsigned int number = 0;
  UpdateServerAnswer::ParseRecoveryInfo(text, &serial, &number);

  std::string token;
  if (UpdateServerAnswer::ParseDeviceJWT(text, token)) {
    if (token.size() < 8 || token.find('\n') != std::string::npos) abort();
  } else if (!token.empty()) {
    abort();
  }
  return 0;
}
