// Running another program as a child and waiting for it, as a shell runs a
// simple command: no shell in between, the same environment, standard
// streams and working directory.
#pragma once

#include <string>
#include <vector>

namespace redomark {

struct ChildOutcome {
  int startError = 0;  // errno when the program could not be started; then nothing ran
  int exitStatus = 0;  // when it exited
  int signal = 0;      // the signal that ended it, 0 when it exited
};

// Starts arguments[0] (looked up in PATH when it holds no "/") with
// arguments, and waits for it. While it runs, SIGINT and SIGQUIT are ignored
// here: the terminal sends them to the child too, and this process still has
// to report. The child gets them back with their default actions (unless
// they were ignored already) and an unblocked mask. Never throws;
// arguments must not be empty.
ChildOutcome runAndWait(const std::vector<std::string>& arguments);

}  // namespace redomark
