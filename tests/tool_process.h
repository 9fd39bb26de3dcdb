// The built tool run as a child process with a HOME of the test's choosing, so
// that its default store lands on a test volume; its output is captured.
#pragma once

#include <sys/types.h>
#include <string>
#include <string_view>
#include <vector>

namespace redomark::testing {

struct ToolRun {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
  bool signaled = false;  // ended by a signal, not by exiting
  bool operator==(const ToolRun&) const = default;
};

// Starts the tool with args, behind launcher (a program and its arguments,
// such as a tracer) when one is given; throws std::system_error when it
// cannot start. Killed if it has not been waited for by the end.
class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::string& home,
              const std::vector<std::string>& launcher = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  void kill(int signal) const;
  // Waits for the end and collects what it wrote.
  ToolRun wait();

 protected:
  ToolProcess() = default;
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
};

// The tool on a pseudo-terminal of its own, as when typed at a shell: the
// terminal is its standard input, output and error, and what it shows is
// collected into out.
class TerminalProcess : public ToolProcess {
 public:
  TerminalProcess(const std::vector<std::string>& args, const std::string& home);
  // As if typed: "\x03" is Ctrl-C.
  void type(std::string_view bytes) const;
  // Reads until what the terminal showed contains text at or after from;
  // returns the offset just past it, or npos when the tool ended first.
  size_t readUntil(std::string_view text, size_t from = 0);
  ToolRun wait();

 private:
  bool readMore();
  std::string shown_;
};

ToolRun runTool(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& launcher = {});

}  // namespace redomark::testing
