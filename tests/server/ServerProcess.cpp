#include "tests/server/ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace servertest {

namespace {

std::vector<char*> _argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Waits up to timeoutMs for the child to end; true when it was reaped.
bool _reap(pid_t pid, int timeoutMs, int* status) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || done < 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/server-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int Run(const std::vector<std::string>& args) {
  std::vector<char*> argv = _argv(args);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  // Tools and scripts run here finish in seconds; a minute bounds a hang.
  if (!_reap(pid, 60000, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool MakeBird(const std::string& path, unsigned build, const std::string& version, unsigned serial) {
  char serialText[16];
  snprintf(serialText, sizeof(serialText), "%08X", serial);
  return Run({SERVER_BIRDTOOL, "-o", path, "--build", std::to_string(build), "--version", version, "--serial",
              serialText, "--model", "TestModel", "--loader", "0x20000000:random:200:" + std::to_string(build),
              "--firmware", "0x0:random:3000:" + std::to_string(build + 1)}) == 0;
}

bool MakeTestCA(const std::string& dir) { return Run({"/bin/sh", SERVER_MAKE_CA, dir}) == 0; }

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

bool ServerProcess::Start(const std::vector<std::string>& options, const std::string& stderrPath) {
  Stop();
  // Requests to the local server go straight to it, whatever proxy the
  // environment names.
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  std::vector<std::string> args = {SERVER_PYTHON, SERVER_SCRIPT};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv = _argv(args);

  int out[2];
  if (pipe(out) != 0) {
    error_ = "pipe failed";
    return false;
  }
  pid_ = fork();
  if (pid_ < 0) {
    close(out[0]);
    close(out[1]);
    error_ = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);

  // The first line is the base URL.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool complete = false;
  while (!complete) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd pfd = {out[0], POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    ssize_t n = read(out[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') {
      complete = true;
    } else {
      line.push_back(c);
    }
  }
  close(out[0]);
  if (!complete || line.empty()) {
    error_ = "no URL from the server (stderr in " + stderrPath + "): " + ReadFile(stderrPath);
    Stop();
    return false;
  }
  url_ = line;
  return true;
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  int status = 0;
  kill(pid_, SIGTERM);
  if (!_reap(pid_, 5000, &status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  url_.clear();
}

}  // namespace servertest
