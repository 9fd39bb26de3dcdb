#include "redomark/arguments.h"

#include <unistd.h>

#include <cstdlib>

#include "core/fs/path_text.h"
#include "core/fs/typed_path.h"
#include "redomark/failure.h"
#include "redomark/shown_text.h"
#include "redomark/usage_text.h"

namespace redomark {
namespace {

[[noreturn]] void failWithUsage(const std::string& message) {
  fail(message + "\n" + usageText, exitUsage);
}

}  // namespace

ParsedArguments parseArguments(const std::vector<std::string>& arguments,
                               const std::set<std::string>& valuedOptions,
                               const std::set<std::string>& flags, size_t positionalLimit) {
  ParsedArguments parsed;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.rfind("--", 0) != 0) {
      parsed.positionals.push_back(argument);
    } else if (valuedOptions.count(argument)) {
      if (i + 1 == arguments.size()) fail(argument + " needs a value", exitUsage);
      parsed.options[argument] = arguments[++i];
    } else if (flags.count(argument)) {
      parsed.flags.insert(argument);
    } else {
      failWithUsage("unknown option " + shown(argument));
    }
  }
  if (parsed.positionals.size() > positionalLimit) {
    failWithUsage("unexpected argument \"" + shown(parsed.positionals[positionalLimit]) + "\"");
  }
  return parsed;
}

std::string folderPath(const std::vector<std::string>& positionals) {
  if (positionals.empty()) failWithUsage("missing <path>");
  std::string path = expandTilde(positionals.front());
  if (path.empty() || path.front() != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) fail("Couldn't read the current folder", exitFailure);
    std::string base = cwd;
    std::free(cwd);
    path = joinPath(base, path);
  }
  // A file URL's path never ends in "/" (unless it is the root), and that is
  // the path the list command shows for a folder it cannot find.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace redomark
