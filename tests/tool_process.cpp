#include "tests/tool_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace redomark::testing {
namespace {

int captureFile(const char* name) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
  return fd;
}

std::string contentOf(int fd) {
  std::string bytes;
  char buffer[65536];
  off_t offset = 0;
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += n) bytes.append(buffer, n);
  return bytes;
}

}  // namespace

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& home,
                         const std::vector<std::string>& launcher)
    : out_(captureFile("tool-out")), err_(captureFile("tool-err")) {
  std::vector<std::string> strings = launcher;
  strings.emplace_back(REDOMARK_BINARY);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment{"HOME=" + home};
  // The leak checker cannot run under a tracer and aborts the traced tool.
  std::string sanitizer = launcher.empty() ? "" : "ASAN_OPTIONS=detect_leaks=0";
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "HOME=", 5) == 0) continue;
    if (!sanitizer.empty() && std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0)
      sanitizer = std::string(*e) + ":detect_leaks=0";
    else
      environment.emplace_back(*e);
  }
  if (!sanitizer.empty()) environment.push_back(sanitizer);
  std::vector<char*> envp;
  for (std::string& s : environment) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // No terminal: a restore must not wait for an answer.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_, STDERR_FILENO);
  const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed) {
    close(out_);
    close(err_);
    throw std::system_error(failed, std::generic_category(), std::string("posix_spawn ") + argv[0]);
  }
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(out_);
  close(err_);
}

void ToolProcess::kill(int signal) const { ::kill(pid_, signal); }

ToolRun ToolProcess::wait() {
  int raw = 0;
  while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  run.out = contentOf(out_);
  run.err = contentOf(err_);
  return run;
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& launcher) {
  return ToolProcess(args, home, launcher).wait();
}

}  // namespace redomark::testing
