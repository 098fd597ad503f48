#include "tests/transport/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testns {

namespace {

std::string Script() { return std::string(UPDATER_SOURCE_DIR) + "/scripts/netns.sh"; }

int Run(const std::string& command) {
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string WhyUnavailable() {
  if (geteuid() != 0) return "needs root to create network namespaces (CI runs as root)";
  if (Run("command -v ip >/dev/null 2>&1") != 0) return "the ip command (iproute2) is missing";
  if (access(Script().c_str(), X_OK) != 0) return "scripts/netns.sh is missing";
  return "";
}

NamespacePair::NamespacePair() : name_("updtest-" + std::to_string(getpid())) {
  Run(Script() + " down " + name_ + " >/dev/null 2>&1");
  ok_ = Run(Script() + " up --peer " + name_ + " >/dev/null") == 0;
  if (!ok_) error_ = "netns.sh up --peer " + name_ + " failed";
}

NamespacePair::~NamespacePair() { Run(Script() + " down " + name_ + " >/dev/null 2>&1"); }

InNamespace::InNamespace(const std::string& name) {
  home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  ok_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
}

InNamespace::~InNamespace() {
  if (home_ < 0) return;
  if (ok_ && setns(home_, CLONE_NEWNET) != 0) abort();  // never stay fenced in by accident
  close(home_);
}

bool FencedIn(std::string* seen) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool fenced = true;
  for (ifaddrs* e = list; e; e = e->ifa_next) {
    if (!e->ifa_addr || e->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(e->ifa_addr)->sin_addr.s_addr);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(e->ifa_addr)->sin_addr, text,
              sizeof(text));
    if (seen) *seen += std::string(e->ifa_name) + "=" + text + " ";
    const bool loopback = (a >> 24) == 127;
    const bool testRange = (a & 0xFFFE0000u) == 0xC6120000u;  // 198.18.0.0/15
    if (!loopback && !testRange) fenced = false;
  }
  freeifaddrs(list);
  return fenced;
}

}  // namespace testns
