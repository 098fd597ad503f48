// Network namespaces for the discovery tests: a pair made by scripts/netns.sh
// (NAME holds the code under test, NAME-peer the virtual module, joined by a
// veth pair 198.18.0.2 <-> 198.18.0.1), and a guard that moves the calling
// thread into one of them. Sockets belong to the namespace of the thread that
// creates them, and threads inherit the namespace of their creator.
#pragma once

#include <string>

namespace testns {

// Empty when the namespaces can be made here; else why not (not root, no ip).
std::string WhyUnavailable();

// Creates the pair on construction and removes it on destruction.
class NamespacePair {
 public:
  NamespacePair();
  ~NamespacePair();
  NamespacePair(const NamespacePair&) = delete;
  NamespacePair& operator=(const NamespacePair&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& inside() const { return name_; }  // code under test
  std::string peer() const { return name_ + "-peer"; }   // the module

 private:
  std::string name_;
  bool ok_ = false;
  std::string error_;
};

// Moves the calling thread into the named namespace until destruction.
class InNamespace {
 public:
  explicit InNamespace(const std::string& name);
  ~InNamespace();
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;
  bool ok() const { return ok_; }

 private:
  int home_ = -1;
  bool ok_ = false;
};

// True when the calling thread sees no IPv4 address but loopback and the
// test range 198.18.0.0/15: the check made before anything is multicast.
bool FencedIn(std::string* seen);

}  // namespace testns
