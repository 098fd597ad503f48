#include "updater/KeyValueStore.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "app/Log.h"
#include "updater/path.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

const size_t kLineLimit = 2048;

// Splits one line into key and value; false when the line holds no entry.
// Lines without "=" and lines with an empty key are not entries.
bool _parse_line(const char* line, size_t length, std::string& key, std::string& value) {
  const char* end = line + length;
  const char* p = line;
  while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
  const char* eq = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(end - p)));
  if (eq == nullptr) return false;
  const char* keyEnd = eq;
  while (keyEnd > p && isspace(static_cast<unsigned char>(keyEnd[-1]))) --keyEnd;
  if (keyEnd == p) return false;
  const char* v = eq + 1;
  while (v < end && isspace(static_cast<unsigned char>(*v))) ++v;
  const char* vEnd = end;
  while (vEnd > v && isspace(static_cast<unsigned char>(vEnd[-1]))) --vEnd;
  key.assign(p, keyEnd);
  value.assign(v, vEnd);
  return true;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* p) {
  if (p != nullptr) Load(p);
}

std::string KeyValueStore::TimeStamp() {
  time_t now = time(nullptr);
  char buffer[64];
  if (ctime_r(&now, buffer) == nullptr) return std::string();
  std::string text(buffer);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

aErr KeyValueStore::Load(const char* p) {
  if (p == nullptr) return aErrParam;
  FILE* file = fopen(p, "rb");
  if (file == nullptr) {
    int err = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", p, err);
    // Only a file that does not exist is created; one that exists but
    // cannot be read is left alone rather than replaced by time stamps.
    if (err == ENOENT) {
      Add(KEY_CREATED_TIME, TimeStamp());
      Save(p);
    }
    path = p;
    modified = false;
    return aErrParam;
  }
  path = p;
  modified = false;
  char line[kLineLimit];
  while (fgets(line, sizeof line, file) != nullptr) {
    size_t length = strlen(line);
    // A line that does not fit ends the reading.
    if (length == kLineLimit - 1 && line[length - 1] != '\n') break;
    if (length < 3 || line[0] == '#') continue;
    std::string key, value;
    if (_parse_line(line, length, key, value)) values[key] = value;
  }
  return fclose(file) == 0 ? aErrNone : aErrIO;
}

void KeyValueStore::Save(const char* p) {
  if (p != nullptr) {
    path = p;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             path.c_str());
  }
  if (modified) values[KEY_UPDATED_TIME] = TimeStamp();
  std::string text;
  for (const auto& entry : values) {
    text += entry.first;
    text += '=';
    text += entry.second;
    text += '\n';
  }
  int err = 0;
  if (path_ReplaceFile(path.c_str(), text.data(), text.size(), &err) != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), err);
    return;
  }
  modified = false;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (key == nullptr) return nullptr;
  auto it = values.find(key);
  return it == values.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* fallback) const {
  const char* value = (*this)[key];
  if (value != nullptr) return value;
  return fallback ? fallback : "";
}

std::string* KeyValueStore::_lookup_inserting(const char* key) {
  if (key == nullptr) return nullptr;
  return &values[key];
}

int KeyValueStore::GetInt(const char* key, int fallback) {
  std::string* value = _lookup_inserting(key);
  if (value == nullptr || value->empty()) return fallback;
  return atoi(value->c_str());
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int fallback) {
  std::string* value = _lookup_inserting(key);
  if (value == nullptr || value->empty()) return fallback;
  return static_cast<unsigned int>(strtol(value->c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool fallback) {
  std::string* value = _lookup_inserting(key);
  if (value == nullptr || value->empty()) return fallback;
  return atoi(value->c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double fallback) {
  std::string* value = _lookup_inserting(key);
  if (value == nullptr || value->empty()) return fallback;
  return atof(value->c_str());
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  if (key == nullptr) return false;
  auto it = values.find(key);
  if (it == values.end()) {
    values.emplace(key, value);
    modified = true;
  } else if (it->second != value) {
    it->second = value;
    modified = true;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
  return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, int value) {
  char text[32];
  snprintf(text, sizeof text, "%d", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, unsigned int value) {
  char text[32];
  snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) return true;
  for (const auto& entry : other.values) values[entry.first] = entry.second;
  if (!other.values.empty()) modified = true;
  return true;
}

bool KeyValueStore::Clear() {
  values.clear();
  modified = true;
  return true;
}
