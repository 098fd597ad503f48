#include "tests/app/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Reads both descriptors until each reports end of input (or an error, as a
// pty master does once the slave side is closed), then reaps the child.
ProcessResult collect(pid_t pid, int outFd, int errFd, int timeoutMs) {
  ProcessResult result;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int fds[2] = {outFd, errFd};
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    struct pollfd polls[2];
    nfds_t count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0) continue;
      polls[count].fd = fds[i];
      polls[count].events = POLLIN;
      polls[count].revents = 0;
      which[count++] = i;
    }
    const int left = remaining_ms(deadline);
    if (left == 0) {
      result.timedOut = true;
      break;
    }
    const int ready = poll(polls, count, left);
    if (ready < 0) continue;
    for (nfds_t p = 0; p < count; ++p) {
      if (polls[p].revents == 0) continue;
      const int i = which[p];
      char buffer[4096];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  if (result.timedOut) kill(pid, SIGKILL);
  int wstatus = 0;
  while (true) {
    const pid_t done = waitpid(pid, &wstatus, result.timedOut ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0) return result;
    if (remaining_ms(deadline) == 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      continue;
    }
    usleep(1000);
  }
  if (!result.timedOut && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs,
                         const std::function<void()>& childSetup) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0) return {};
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return {};
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    if (childSetup) childSetup();
    execv(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return {};
  }
  return collect(pid, outPipe[0], errPipe[0], timeoutMs);
}

ProcessResult RunInChild(const std::function<void()>& body, bool stdoutTerminal, int timeoutMs) {
  int outFds[2] = {-1, -1};  // [0] read side in the parent, [1] child's side
  if (stdoutTerminal) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {};
    // Raw mode: the terminal passes bytes through unchanged ("\n" stays "\n").
    struct termios tio;
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    outFds[0] = master;
    outFds[1] = slave;
  } else if (pipe(outFds) != 0) {
    return {};
  }
  int errPipe[2];
  if (pipe(errPipe) != 0) {
    close(outFds[0]);
    close(outFds[1]);
    return {};
  }

  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outFds[1], 1);
    dup2(errPipe[1], 2);
    close(outFds[0]);
    close(outFds[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    body();
    _exit(0);
  }
  close(outFds[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outFds[0]);
    close(errPipe[0]);
    return {};
  }
  return collect(pid, outFds[0], errPipe[0], timeoutMs);
}
