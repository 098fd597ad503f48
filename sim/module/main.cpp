// virtual_module: runs one virtual module (and the modules on its I2C
// network) on a TCP port or behind a pseudo-terminal until SIGTERM or SIGINT.
// Prints one line saying where it is reachable, e.g. "tcp 127.0.0.1 40123" or
// "pty /dev/pts/5".
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/DiscoveryResponder.h"
#include "sim/module/PtyModuleLine.h"
#include "sim/module/TcpModuleServer.h"
#include "sim/module/VirtualModule.h"

namespace {

const char kUsage[] =
    "Usage: virtual_module [options]\n"
    "  --serial HEX          serial number (default 1A2B3C4D)\n"
    "  --model N             model code (default 19)\n"
    "  --version A.B.C       firmware version (default 2.12.2)\n"
    "  --build N             firmware build number (default 1000)\n"
    "  --name TEXT           device name (at most 32 bytes)\n"
    "  --address N           module address, even (default 2)\n"
    "  --router N            router address it reports (default: its own)\n"
    "  --transport tcp|pty   link transport (default tcp)\n"
    "  --port N              TCP port, 0 for a free one (default 0)\n"
    "  --bind ADDR           TCP and discovery bind address (default 127.0.0.1)\n"
    "  --discovery           answer network discovery (run inside a network namespace)\n"
    "  --network A[:SERIAL],...  modules on its I2C network at even addresses A\n"
    "  --dump-dir DIR        write what it flashes to DIR (loader.bin, firmware.bin, .map)\n"
    "  --heartbeat MS        heartbeat period, 0 for none (default 1000)\n"
    "  --block-size N        firmware block size it asks for (default 1024)\n"
    "  --loader-serial HEX   serial number shown while in the loader (e.g. DEADDEAD)\n"
    "  --restart-ms N        time off the link when restarting (default 300)\n"
    "  --version-after A.B.C version after a firmware update\n"
    "  --build-after N       build number after a firmware update\n"
    "  --no-uei-bytes        no upgrade data as UEI byte strings\n"
    "  --no-pooled           do not offer pooled packets\n"
    "  --answer-load         reply to the loader start before restarting\n"
    "  --start-in-loader     start in the loader\n"
    "Faults:\n"
    "  --drop-replies N      drop the next N replies\n"
    "  --delay-ms N          delay every reply by N ms\n"
    "  --corrupt-reply I     flip byte I of the next reply\n"
    "  --short-acks N        acknowledge the next N upgrade data packets one short\n"
    "  --wrong-checksums N   answer the next N upgrade checksums wrongly\n"
    "  --refuse-prepares N   refuse the next N upgrade prepares\n"
    "  --drop-after-bytes N  drop the link after N bytes from the host\n"
    "  --never-return        stay away after the loader start\n";

bool ParseNumber(const std::string& text, int base, unsigned long max, unsigned long* out) {
  if (text.empty()) return false;
  std::string t = text;
  if (base == 16 && t.size() > 2 && (t.compare(0, 2, "0x") == 0 || t.compare(0, 2, "0X") == 0)) {
    t = t.substr(2);
  }
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(t.c_str(), &end, base);
  if (errno != 0 || end == t.c_str() || *end != '\0' || v > max || t[0] == '-') return false;
  *out = v;
  return true;
}

bool ParseVersion(const std::string& text, uint32_t* out) {
  unsigned a, b, c;
  char extra;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &extra) != 3 || a > 255 || b > 255 ||
      c > 255) {
    return false;
  }
  *out = sim::PackVersion(uint8_t(a), uint8_t(b), uint8_t(c));
  return true;
}

bool ParseAddress(const std::string& text, uint8_t* out) {
  unsigned long v;
  if (!ParseNumber(text, 0, 0xFF, &v) && !ParseNumber(text, 16, 0xFF, &v)) return false;
  if (v == 0 || (v & 1) || v >= 0xAD) return false;
  *out = uint8_t(v);
  return true;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "virtual_module: %s\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sim::VirtualModuleConfig cfg;
  std::string transport = "tcp";
  std::string bind = "127.0.0.1";
  unsigned long port = 0;
  bool discovery = false;
  std::string networkSpec;
  unsigned long dropReplies = 0, delayMs = 0, shortAcks = 0, wrongSums = 0, refusePrepares = 0;
  unsigned long dropAfter = 0;
  long corruptIndex = -1;
  bool neverReturn = false;

  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    auto number = [&](int base, unsigned long max, unsigned long* out) {
      std::string v;
      return value(&v) && ParseNumber(v, base, max, out);
    };
    std::string v;
    unsigned long n = 0;
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (opt == "--serial") {
      if (!number(16, 0xFFFFFFFFul, &n) || n == 0) return Fail("--serial needs a non-zero hex number");
      cfg.serial = uint32_t(n);
    } else if (opt == "--model") {
      if (!number(0, 255, &n)) return Fail("--model needs a number 0..255");
      cfg.model = uint8_t(n);
    } else if (opt == "--version") {
      if (!value(&v) || !ParseVersion(v, &cfg.version)) return Fail("--version needs A.B.C");
    } else if (opt == "--version-after") {
      if (!value(&v) || !ParseVersion(v, &cfg.versionAfterUpgrade)) {
        return Fail("--version-after needs A.B.C");
      }
    } else if (opt == "--build") {
      if (!number(10, 0xFFFFFFFFul, &n)) return Fail("--build needs a number");
      cfg.build = uint32_t(n);
    } else if (opt == "--build-after") {
      if (!number(10, 0xFFFFFFFFul, &n)) return Fail("--build-after needs a number");
      cfg.buildAfterUpgrade = uint32_t(n);
    } else if (opt == "--name") {
      if (!value(&v) || v.size() > 32) return Fail("--name needs a text of at most 32 bytes");
      cfg.name = v;
    } else if (opt == "--address") {
      if (!value(&v) || !ParseAddress(v, &cfg.address)) {
        return Fail("--address needs an even number 2..172");
      }
    } else if (opt == "--router") {
      if (!value(&v) || !ParseAddress(v, &cfg.router)) return Fail("--router needs an even address");
    } else if (opt == "--transport") {
      if (!value(&transport) || (transport != "tcp" && transport != "pty")) {
        return Fail("--transport needs tcp or pty");
      }
    } else if (opt == "--port") {
      if (!number(10, 65535, &port)) return Fail("--port needs a number 0..65535");
    } else if (opt == "--bind") {
      if (!value(&bind)) return Fail("--bind needs an IPv4 address");
    } else if (opt == "--discovery") {
      discovery = true;
    } else if (opt == "--network") {
      if (!value(&networkSpec)) return Fail("--network needs addresses");
    } else if (opt == "--dump-dir") {
      if (!value(&cfg.dumpDir)) return Fail("--dump-dir needs a directory");
    } else if (opt == "--heartbeat") {
      if (!number(10, 25500, &n)) return Fail("--heartbeat needs milliseconds 0..25500");
      cfg.heartbeatMs = uint32_t(n);
    } else if (opt == "--block-size") {
      if (!number(10, 65535, &n) || n == 0) return Fail("--block-size needs a number 1..65535");
      cfg.blockSize = uint16_t(n);
    } else if (opt == "--loader-serial") {
      if (!number(16, 0xFFFFFFFFul, &n)) return Fail("--loader-serial needs a hex number");
      cfg.loaderSerial = uint32_t(n);
    } else if (opt == "--restart-ms") {
      if (!number(10, 60000, &n)) return Fail("--restart-ms needs milliseconds 0..60000");
      cfg.restartMs = uint32_t(n);
    } else if (opt == "--no-uei-bytes") {
      cfg.ueiBytes = false;
    } else if (opt == "--no-pooled") {
      cfg.pooledPackets = false;
    } else if (opt == "--answer-load") {
      cfg.answerLoad = true;
    } else if (opt == "--start-in-loader") {
      cfg.startInLoader = true;
    } else if (opt == "--drop-replies") {
      if (!number(10, 0xFFFFFFFFul, &dropReplies)) return Fail("--drop-replies needs a number");
    } else if (opt == "--delay-ms") {
      if (!number(10, 60000, &delayMs)) return Fail("--delay-ms needs milliseconds 0..60000");
    } else if (opt == "--corrupt-reply") {
      if (!number(10, 29, &n)) return Fail("--corrupt-reply needs a byte index 0..29");
      corruptIndex = long(n);
    } else if (opt == "--short-acks") {
      if (!number(10, 0xFFFFFFFFul, &shortAcks)) return Fail("--short-acks needs a number");
    } else if (opt == "--wrong-checksums") {
      if (!number(10, 0xFFFFFFFFul, &wrongSums)) return Fail("--wrong-checksums needs a number");
    } else if (opt == "--refuse-prepares") {
      if (!number(10, 0xFFFFFFFFul, &refusePrepares)) return Fail("--refuse-prepares needs a number");
    } else if (opt == "--drop-after-bytes") {
      if (!number(10, 0xFFFFFFFFul, &dropAfter)) return Fail("--drop-after-bytes needs a number");
    } else if (opt == "--never-return") {
      neverReturn = true;
    } else {
      std::fputs(kUsage, stderr);
      return Fail("unknown option " + opt);
    }
  }

  // Network modules: "A" or "A:SERIAL", comma separated.
  size_t at = 0;
  while (!networkSpec.empty() && at <= networkSpec.size()) {
    size_t comma = networkSpec.find(',', at);
    std::string item = networkSpec.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? networkSpec.size() + 1 : comma + 1;
    sim::VirtualModuleConfig child;
    child.model = cfg.model;
    child.version = cfg.version;
    child.build = cfg.build;
    child.blockSize = cfg.blockSize;
    child.restartMs = cfg.restartMs;
    child.loaderSerial = cfg.loaderSerial;
    const size_t colon = item.find(':');
    if (!ParseAddress(item.substr(0, colon), &child.address) || child.address == cfg.address) {
      return Fail("--network: bad module address in '" + item + "'");
    }
    child.serial = cfg.serial + child.address;
    if (colon != std::string::npos) {
      unsigned long s;
      if (!ParseNumber(item.substr(colon + 1), 16, 0xFFFFFFFFul, &s) || s == 0) {
        return Fail("--network: bad serial number in '" + item + "'");
      }
      child.serial = uint32_t(s);
    }
    char name[32];
    std::snprintf(name, sizeof name, "Routed-%02X", child.address);
    child.name = name;
    cfg.network.push_back(child);
  }

  // Signals are taken by sigwait below; block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  sim::VirtualModule module(cfg);
  module.DropReplies(uint32_t(dropReplies));
  module.DelayReplies(uint32_t(delayMs));
  if (corruptIndex >= 0) module.CorruptNextReply(size_t(corruptIndex), 0xFF);
  module.ShortAcks(uint32_t(shortAcks));
  module.WrongChecksums(uint32_t(wrongSums));
  module.RefusePrepares(uint32_t(refusePrepares));
  module.DropLinkAfterBytes(dropAfter);
  module.NeverReturnFromLoader(neverReturn);

  std::unique_ptr<sim::TcpModuleServer> tcp;
  std::unique_ptr<sim::PtyModuleLine> pty;
  std::unique_ptr<sim::DiscoveryResponder> responder;
  std::string error;
  std::string where;
  if (transport == "tcp") {
    tcp = std::make_unique<sim::TcpModuleServer>(module, bind, uint16_t(port));
    if (!tcp->Start(&error)) return Fail(error);
    where = "tcp " + bind + " " + std::to_string(tcp->Port());
  } else {
    pty = std::make_unique<sim::PtyModuleLine>(module);
    if (!pty->Start(&error)) return Fail(error);
    where = "pty " + pty->Path();
  }
  if (discovery) {
    if (!tcp) return Fail("--discovery needs --transport tcp");
    sim::DiscoveryResponderConfig dc;
    dc.bindAddress = "0.0.0.0";
    dc.tcpPort = tcp->Port();
    if (bind != "0.0.0.0") dc.groupInterface = bind;
    responder = std::make_unique<sim::DiscoveryResponder>(module, dc);
    if (!responder->Start(&error)) return Fail(error);
  }
  if (!module.Start()) return Fail("cannot start the module's thread");

  std::printf("%s\n", where.c_str());
  std::fflush(stdout);

  int sig = 0;
  while (sigwait(&signals, &sig) != 0) {
  }
  if (responder) responder->Stop();
  module.Stop();
  if (tcp) tcp->Stop();
  if (pty) pty->Stop();
  return 0;
}
