// The places of the system that may never be saved or restored over, and
// how a per-volume store is named.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace redomark {

struct SafetyPolicy {
  std::vector<std::string> forbiddenTrees;  // refused with everything below
  std::vector<std::string> forbiddenExact;  // refused only exactly

  bool operator==(const SafetyPolicy&) const = default;
};

// The built-in policy of this platform.
SafetyPolicy defaultSafetyPolicy();
// The lists a macOS build uses.
SafetyPolicy macSafetyPolicy();

// Whether name, at a mount point, is a per-volume store of some user
// (".redomark-checkpoints-" + digits) or the shared directory of them.
bool isVolumeStoreName(std::string_view name);

}  // namespace redomark
