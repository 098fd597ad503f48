#include "tests/e2e_builds/LocalServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "common/aDirectory.h"

extern char** environ;

namespace {

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  std::vector<std::string> order;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    vars[entry.substr(0, eq)] = entry;
  }
  for (const std::string& entry : extra) {
    size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq);
    if (eq == entry.size() - 1) {
      vars.erase(name);
    } else {
      vars[name] = entry;
    }
  }
  std::vector<std::string> result;
  for (const auto& v : vars) result.push_back(v.second);
  return result;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(&s[0]);
  result.push_back(nullptr);
  return result;
}

// Spawns the program with stdin from /dev/null and the given descriptors
// for its output streams (-1: /dev/null).
pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& env, int outFd, int errFd,
            int closeFd1 = -1, int closeFd2 = -1) {
  std::vector<std::string> envStrings = MergedEnvironment(env);
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp = CStrings(envStrings);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (errFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (closeFd1 >= 0) posix_spawn_file_actions_addclose(&actions, closeFd1);
  if (closeFd2 >= 0) posix_spawn_file_actions_addclose(&actions, closeFd2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for the child to end within timeoutMs; kills it otherwise.
int Reap(pid_t pid, long long deadline, bool* timedOut) {
  int status = 0;
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (NowMs() > deadline) {
      if (timedOut) *timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs) {
  RunResult result;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  pid_t pid = Spawn(argv, env, outPipe[1], errPipe[1], outPipe[0], errPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  long long deadline = NowMs() + timeoutMs;
  if (pid > 0) {
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
      long long left = deadline - NowMs();
      if (left <= 0) break;
      int n = poll(fds, 2, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          sinks[i]->append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    result.status = Reap(pid, deadline, &result.timedOut);
  }
  close(outPipe[0]);
  close(errPipe[0]);
  return result;
}

bool MakeBird(const std::string& path, const BirdSpec& spec) {
  RunResult r = RunProgram({BIRDTOOL_PATH, "-o", path, "--build", std::to_string(spec.build), "--version",
                            spec.version, "--model", spec.model, "--loader", "0x10000000:random:256",
                            "--firmware", "0x0:random:" + std::to_string(spec.firmwareBytes) + ":" +
                                              std::to_string(spec.build)});
  if (r.status != 0) fprintf(stderr, "birdtool failed for %s: %s\n", path.c_str(), r.err.c_str());
  return r.status == 0;
}

bool MakeCatalogDevice(const std::string& catalog, const std::string& serial, const std::vector<BirdSpec>& builds,
                       const std::string& token, const std::string& latest) {
  std::string dir = catalog + "/devices/" + serial;
  if (aDirectory_Ensure(dir.c_str(), 0755) != aErrNone) return false;
  for (const BirdSpec& b : builds) {
    if (!MakeBird(dir + "/" + std::to_string(b.build) + ".bird", b)) return false;
  }
  if (!token.empty()) std::ofstream(dir + "/token") << token << "\n";
  if (!latest.empty()) std::ofstream(dir + "/latest") << latest << "\n";
  return true;
}

std::string LocalServer::Start(const std::string& catalog, const std::vector<std::string>& options,
                               const std::string& certDir) {
  Stop();
  std::vector<std::string> argv = {"python3", std::string(UPDATER_SOURCE_DIR) + "/sim/update_server/server.py",
                                   "--catalog", catalog};
  if (!certDir.empty()) {
    argv.insert(argv.end(), {"--cert", certDir + "/server.pem", "--key", certDir + "/server.key"});
  }
  argv.insert(argv.end(), options.begin(), options.end());
  logPath_ = catalog + "/../server-" + std::to_string(getpid()) + "-" + std::to_string(NowMs()) + ".log";
  int logFd = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    if (logFd >= 0) close(logFd);
    return "";
  }
  pid_ = Spawn(argv, {}, outPipe[1], logFd, outPipe[0]);
  close(outPipe[1]);
  if (logFd >= 0) close(logFd);
  stdout_ = outPipe[0];
  if (pid_ <= 0) {
    Stop();
    return "";
  }
  std::string line;
  long long deadline = NowMs() + 60000;  // python start-up on a loaded machine
  while (line.find('\n') == std::string::npos) {
    long long left = deadline - NowMs();
    struct pollfd fd = {stdout_, POLLIN, 0};
    if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) break;
    char c[256];
    ssize_t got = read(stdout_, c, sizeof c);
    if (got <= 0) break;
    line.append(c, static_cast<size_t>(got));
  }
  size_t nl = line.find('\n');
  if (nl == std::string::npos) {
    fprintf(stderr, "local server did not start: %s\n", Diagnostics().c_str());
    Stop();
    return "";
  }
  url_ = line.substr(0, nl);
  return url_;
}

void LocalServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    bool timedOut = false;
    Reap(pid_, NowMs() + 5000, &timedOut);
    pid_ = -1;
  }
  if (stdout_ >= 0) {
    close(stdout_);
    stdout_ = -1;
  }
  url_.clear();
}

std::string LocalServer::Diagnostics() const { return ReadFileText(logPath_); }

bool MakeTestCA(const std::string& dir) {
  RunResult r = RunProgram({std::string(UPDATER_SOURCE_DIR) + "/sim/update_server/make_test_ca.sh", dir});
  if (r.status != 0) fprintf(stderr, "make_test_ca.sh failed: %s\n", r.err.c_str());
  return r.status == 0;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
