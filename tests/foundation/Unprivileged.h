// Runs a check in a child process without root's right to write anywhere.
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs fn (returning 0..249) in a forked child; when the tests run as root the
// child first becomes the unprivileged user 65534. Returns fn's result, 250
// when privileges could not be dropped, -1 when the child did not exit.
template <typename Fn>
int runUnprivileged(Fn fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(250);
    _exit(fn());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
