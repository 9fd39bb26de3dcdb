// The option parser every command shares, and the folder argument.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace redomark {

struct ParsedArguments {
  std::vector<std::string> positionals;
  std::map<std::string, std::string> options;  // "--name" -> value; the later one wins
  std::set<std::string> flags;
};

// Ends the process with status 2 on an unknown option, a missing value or a
// surplus positional.
ParsedArguments parseArguments(const std::vector<std::string>& arguments,
                               const std::set<std::string>& valuedOptions,
                               const std::set<std::string>& flags, size_t positionalLimit);

// The first positional with "~" expanded, made absolute against the current
// directory, without a trailing "/"; fails with "missing <path>" when there is none.
std::string folderPath(const std::vector<std::string>& positionals);

}  // namespace redomark
