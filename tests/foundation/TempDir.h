// A fresh directory under /tmp for one test, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "common/aDirectory.h"

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/foundation_test.XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) aDirectory_DeleteTree(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Path of name inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
