#include "redomark/progress.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace redomark {

void printProgress(const OperationProgress& progress) {
  std::string line = "\r";
  switch (progress.phase) {
    case OperationProgress::Phase::scanning: line += "Looking at"; break;
    case OperationProgress::Phase::copying: line += "Saving"; break;
    case OperationProgress::Phase::finishing: line += "Finishing"; break;
  }
  line += " " + std::to_string(progress.filesDone);
  if (progress.filesTotal) line += " of " + std::to_string(*progress.filesTotal);
  line += " items\u2026\x1b[K";
  [[maybe_unused]] const ssize_t written = ::write(2, line.data(), line.size());
}

OperationControl& makeControl() {
  // Never freed: the interrupt thread may still touch it while the process ends.
  auto* control = new OperationControl(::isatty(2) ? OperationControl::Callback(printProgress)
                                                   : OperationControl::Callback());
  // Blocked here, before the operation starts any thread, so every later
  // thread inherits the mask and only the waiting thread receives SIGINT.
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
  std::thread([control, interrupt] {
    for (;;) {
      int received = 0;
      if (sigwait(&interrupt, &received) == 0) control->cancel();
    }
  }).detach();
  return *control;
}

}  // namespace redomark
