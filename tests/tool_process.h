// The built tool run as a child process with a HOME of the test's choosing, so
// that its default store lands on a test volume; its output is captured.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace redomark::testing {

struct ToolRun {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
  bool operator==(const ToolRun&) const = default;
};

class ToolProcess {
 public:
  // Starts the tool with args, behind launcher (a program and its arguments,
  // such as a tracer) when one is given; throws std::system_error when it
  // cannot start.
  ToolProcess(const std::vector<std::string>& args, const std::string& home,
              const std::vector<std::string>& launcher = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  void kill(int signal) const;
  // Waits for the end and collects what it wrote.
  ToolRun wait();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

ToolRun runTool(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& launcher = {});

}  // namespace redomark::testing
