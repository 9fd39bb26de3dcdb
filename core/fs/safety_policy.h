// Which folders may never be saved or restored over: the places of the
// system, and the stores themselves.
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

// The canonical folder path, or throws RedomarkError notADirectory, insideStore,
// containsStore or forbiddenLocation. Any per-volume store counts as a store,
// whoever's it is, as well as storeRoot.
std::string checkLocation(const std::string& folder, const std::string& storeRoot, bool requireDirectory,
                          const SafetyPolicy& policy);

}  // namespace redomark
