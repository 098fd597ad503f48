// A small ordered set of named text values, read from and written to a
// settings file of key=value lines. Every device folder of the store holds
// one (".settings"). Not thread-safe: one store is used by one thread.
#pragma once

#include <map>
#include <string>

#include "common/aError.h"

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

  // Empty store; loads `path` when it is not null.
  explicit KeyValueStore(const char* path = nullptr);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;
  ~KeyValueStore() = default;  // never saves

  // Adds the entries of the file to those held (overwriting). A file that
  // does not exist is created with CREATED_TIME and UPDATED_TIME. Returns 0
  // after reading an existing file, aErrParam when it could not be opened.
  aErr Load(const char* path);
  // Writes every entry, in key order, to `path` (remembered), or to the
  // remembered path, or to DEFAULT_FILENAME. The file is replaced in one
  // step: a failed save leaves the previous file as it was and `modified`
  // set. Adds UPDATED_TIME first when something changed.
  void Save(const char* path = nullptr);

  // The stored value, or null when the key is absent. Never adds a key.
  const char* operator[](const char* key) const;
  // The stored value (even when empty), else the fallback ("" for null).
  std::string GetString(const char* key, const char* fallback = nullptr) const;

  // Numeric getters: the fallback when the value is missing or empty. Asking
  // for an absent key adds it with an empty value (without marking a change).
  int GetInt(const char* key, int fallback = 0);
  unsigned int GetHex(const char* key, unsigned int fallback = 0);
  bool GetBOOL(const char* key, bool fallback = false);
  double GetDouble(const char* key, double fallback = 0.0);

  // Setters: mark a change only when the stored text differs. A null key is
  // refused (false).
  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool AddHex(const char* key, unsigned int value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  const std::string& Path() const { return path; }
  bool Modified() const { return modified; }
  const std::map<std::string, std::string>& Values() const { return values; }

  // Local time in the 24-character form of ctime without its newline,
  // as in "Tue Dec  9 12:22:01 2025".
  static std::string TimeStamp();

 private:
  std::string* _lookup_inserting(const char* key);

  std::string path;
  std::map<std::string, std::string> values;
  bool modified = false;
};
