#include "updater/UpdateServerAnswer.h"

#include <stdlib.h>
#include <string.h>

#include "app/Log.h"

namespace {

// Walks a zero-terminated text the way strtok does, without changing it:
// each call skips leading delimiters, returns the text up to the next
// delimiter and steps over that one delimiter.
class Tokenizer {
 public:
  explicit Tokenizer(const char* text) : pos_(text != nullptr ? text : "") {}

  bool next(const char* delimiters, std::string& token) {
    pos_ += strspn(pos_, delimiters);
    if (*pos_ == '\0') return false;
    size_t length = strcspn(pos_, delimiters);
    token.assign(pos_, length);
    pos_ += length;
    if (*pos_ != '\0') pos_++;
    return true;
  }

 private:
  const char* pos_;
};

// Positions a tokenizer after the first line of the body.
Tokenizer _after_first_line(const char* body) {
  Tokenizer lines(body);
  std::string first;
  lines.next("\n", first);
  return lines;
}

}  // namespace

namespace UpdateServerAnswer {

bool Accepted(const char* body) {
  Tokenizer lines(body);
  std::string first;
  return lines.next("\n", first) && first.compare(0, 2, "ok") == 0;
}

void ParseQueryBuild(const char* body, std::string& build, std::string& version) {
  Tokenizer lines = _after_first_line(body);
  std::string line;
  if (lines.next("\n", line)) build = line;
  if (lines.next("\r\n", line)) version = line;
}

void ParseGetBuild(const char* body, std::string& text) {
  Tokenizer lines = _after_first_line(body);
  text.clear();
  std::string line;
  if (lines.next("\n", line)) text = line;
}

void ParseBuildList(const char* body, std::map<std::string, std::string>& builds) {
  Tokenizer lines = _after_first_line(body);
  std::string line;
  while (lines.next("\n", line)) {
    if (line.size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    Tokenizer pieces(line.c_str());
    std::string build;
    std::string version;
    if (!pieces.next(";\r\n", build)) continue;
    pieces.next(";\r\n", version);
    builds.emplace(build, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
  }
}

void ParseRecoveryInfo(const char* body, unsigned int* serial, unsigned int* build) {
  Tokenizer lines(body);
  std::string first;
  std::string second;
  std::string third;
  lines.next("\n", first);
  if (lines.next("\n", second) && serial != nullptr) {
    *serial = static_cast<unsigned int>(strtoul(second.c_str(), nullptr, 16));
  }
  if (lines.next("\n", third) && build != nullptr) {
    *build = static_cast<unsigned int>(strtoul(third.c_str(), nullptr, 0));
  }
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first.c_str(), second.c_str(),
           third.c_str());
}

bool ParseDeviceJWT(const char* body, std::string& token) {
  Tokenizer lines = _after_first_line(body);
  std::string line;
  if (!lines.next("\n", line) || line.size() < 3) return false;
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
  Tokenizer parts(line.c_str());
  std::string header;
  std::string payload;
  std::string signature;
  if (!parts.next(".", header) || !parts.next(".", payload) || !parts.next("\r\n", signature)) return false;
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
  token = header + "." + payload + "." + signature;
  return true;
}

}  // namespace UpdateServerAnswer
