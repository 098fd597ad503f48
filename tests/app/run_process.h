// Runs a program or a piece of code in a child process and collects what it
// writes, with a bounded wait.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, -1 when killed or not started
  bool timedOut = false;
};

// Runs argv[0] with the arguments argv (argv[0] is also the program name it
// sees), standard input from /dev/null. childSetup, when given, runs in the
// child just before the program starts (to change user or environment).
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs = 30000,
                         const std::function<void()>& childSetup = nullptr);

// Runs body in a forked child with standard output and standard error on
// pipes, or standard output on a raw pseudo-terminal when stdoutTerminal.
// The child ends with _exit(0) after body, without flushing stdio, so text
// that was only buffered is lost (which shows missing unbuffering).
ProcessResult RunInChild(const std::function<void()>& body, bool stdoutTerminal, int timeoutMs = 10000);
