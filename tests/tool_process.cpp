#include "tests/tool_process.h"

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

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

// The tool's argument and environment strings, and the pointer arrays that
// exec takes, made before a fork so that the child only has to exec.
struct Command {
  std::vector<std::string> strings, environment;
  std::vector<char*> argv, envp;
  Command(const std::vector<std::string>& args, const std::string& home, const std::vector<std::string>& launcher) {
    strings = launcher;
    strings.emplace_back(REDOMARK_BINARY);
    strings.insert(strings.end(), args.begin(), args.end());
    environment.push_back("HOME=" + home);
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
    for (std::string& s : strings) argv.push_back(s.data());
    for (std::string& s : environment) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
};

ToolRun endOf(pid_t& pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), "", "", WIFSIGNALED(raw)};
}

}  // namespace

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& home,
                         const std::vector<std::string>& launcher)
    : out_(captureFile("tool-out")), err_(captureFile("tool-err")) {
  Command command(args, home, launcher);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // No terminal: a restore must not wait for an answer.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_, STDERR_FILENO);
  const int failed = posix_spawnp(&pid_, command.argv[0], &actions, nullptr, command.argv.data(), command.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed) {
    close(out_), close(err_);
    throw std::system_error(failed, std::generic_category(), "posix_spawn " + command.strings[0]);
  }
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) ::kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  close(out_), close(err_);
}

void ToolProcess::kill(int signal) const { ::kill(pid_, signal); }

ToolRun ToolProcess::wait() {
  ToolRun run = endOf(pid_);
  run.out = contentOf(out_), run.err = contentOf(err_);
  return run;
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& launcher) {
  return ToolProcess(args, home, launcher).wait();
}

TerminalProcess::TerminalProcess(const std::vector<std::string>& args, const std::string& home) {
  const Command command(args, home, {});
  // Bytes pass unchanged both ways (no echo, no "\r\n" for a line end), but
  // lines are still read whole and Ctrl-C still raises SIGINT.
  termios mode{};
  mode.c_cflag = CS8 | CREAD;
  mode.c_lflag = ICANON | ISIG;
  mode.c_cc[VINTR] = 3, mode.c_cc[VEOF] = 4, mode.c_cc[VMIN] = 1;
  pid_ = forkpty(&out_, nullptr, &mode, nullptr);
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "forkpty");
  if (pid_ == 0) {
    // As a shell starts a command in the foreground: Ctrl-C has its default effect.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    execve(command.argv[0], command.argv.data(), command.envp.data());
    _exit(127);
  }
  fcntl(out_, F_SETFD, FD_CLOEXEC);
}

void TerminalProcess::type(std::string_view bytes) const {
  [[maybe_unused]] const ssize_t n = write(out_, bytes.data(), bytes.size());
}

bool TerminalProcess::readMore() {
  char buffer[4096];
  ssize_t n;
  while ((n = read(out_, buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  // Once the tool has ended and its side of the terminal is closed, reading fails with EIO.
  if (n > 0) shown_.append(buffer, n);
  return n > 0;
}

size_t TerminalProcess::readUntil(std::string_view text, size_t from) {
  for (;;) {
    if (const size_t at = shown_.find(text, from); at != std::string::npos) return at + text.size();
    if (!readMore()) return std::string::npos;
  }
}

ToolRun TerminalProcess::wait() {
  while (readMore()) {
  }
  ToolRun run = endOf(pid_);
  run.out = shown_;
  return run;
}

}  // namespace redomark::testing
