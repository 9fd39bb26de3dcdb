#pragma once
// What the tests on real volumes share: the system, library and test-support
// headers they all use (the support headers bring the containers), and the few
// helpers several of them need.
#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "core/fs/typed_path.h"
#include "tests/command_line_fixture.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {

// strace as a launcher: each injection ("ioctl:error=EIO:when=3") makes its
// call fail so; the log (descriptors shown as paths) goes to log. With
// within, only the calls on that path (or a descriptor of it) are logged,
// counted and made to fail.
inline std::vector<std::string> tracer(const std::vector<std::string>& injections, const std::string& log = "/dev/null",
                                       std::string traced = "", const std::string& within = "") {
  std::vector<std::string> command{"strace", "-f", "-qq", "-y", "-o", log};
  if (!within.empty()) command.insert(command.end(), {"-P", within});
  for (const std::string& i : injections) {
    traced += (traced.empty() ? "" : ",") + i.substr(0, i.find(':'));
    command.insert(command.end(), {"-e", "inject=" + i});
  }
  command.insert(command.begin() + 6, {"-e", "trace=" + traced});
  return command;
}

// A tree without its root's own entry, whose times move with every entry made in it.
inline TreeSnapshot withoutRoot(TreeSnapshot tree) {
  tree.erase("");
  return tree;
}

// A random seed, or the one the variable holds to repeat a run; printed either way.
inline unsigned seedFrom(const char* variable) {
  const char* given = std::getenv(variable);
  const unsigned seed = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  std::cout << "seed " << seed << " (" << variable << " repeats it)\n";
  return seed;
}

inline void hardLink(const std::string& from, const std::string& to) {
  ASSERT_EQ(link(from.c_str(), to.c_str()), 0) << to;
}

}  // namespace redomark::testing
