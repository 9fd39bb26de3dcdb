#include "core/fs/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace redomark {
namespace {

// Ignores the terminal's interrupts here until destroyed; says which signals
// the child should get back at their default action.
class IgnoredInterrupts {
 public:
  IgnoredInterrupts() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigemptyset(&forChild_);
    for (int i = 0; i < 2; ++i) {
      sigaction(signals_[i], &ignore, &saved_[i]);
      if (saved_[i].sa_handler != SIG_IGN) sigaddset(&forChild_, signals_[i]);
    }
  }
  ~IgnoredInterrupts() {
    for (int i = 0; i < 2; ++i) sigaction(signals_[i], &saved_[i], nullptr);
  }
  IgnoredInterrupts(const IgnoredInterrupts&) = delete;
  IgnoredInterrupts& operator=(const IgnoredInterrupts&) = delete;

  const sigset_t& defaultInChild() const { return forChild_; }

 private:
  static constexpr int signals_[2] = {SIGINT, SIGQUIT};
  struct sigaction saved_[2] {};
  sigset_t forChild_{};
};

}  // namespace

ChildOutcome runAndWait(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const IgnoredInterrupts ignored;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A caller may have blocked SIGINT to wait for it on a thread; the child
  // must not inherit that.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigdelset(&mask, SIGINT);
  sigdelset(&mask, SIGQUIT);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setsigdefault(&attributes, &ignored.defaultInChild());
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = -1;
  const int started = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (started != 0) return ChildOutcome{.startError = started};

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return ChildOutcome{.startError = errno};
  }
  if (WIFSIGNALED(status)) return ChildOutcome{.signal = WTERMSIG(status)};
  return ChildOutcome{.exitStatus = WEXITSTATUS(status)};
}

}  // namespace redomark
