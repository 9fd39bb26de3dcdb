// Which folders may never be saved or restored over, and how a typed path
// becomes the one canonical path under which the store knows a folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/item_status.h"

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

// Absolute path with ".", "..", doubled and trailing "/" removed and links in its
// existing part resolved; missing trailing components kept as written. Never fails.
std::string canonicalPath(const std::string& path);

// "~" and "~/…" become the user's home, "~name" and "~name/…" that user's,
// as a shell expands them; an unknown name is left as typed.
std::string expandTilde(const std::string& path);
// The path with its links resolved (realpath); nothing when it names nothing.
std::optional<std::string> resolvedPath(const std::string& path);
// Facts of what a typed path names, links followed as the user meant them:
// resolved once, then examined without following anything; nothing when it
// names nothing.
std::optional<ItemStatus> examineNamed(const std::string& path);

// Whether name, at a mount point, is a per-volume store of some user
// (".redomark-checkpoints-" + digits) or the shared directory of them.
bool isVolumeStoreName(std::string_view name);

// The canonical folder path, or throws RedomarkError notADirectory, insideStore,
// containsStore or forbiddenLocation. Any per-volume store counts as a store,
// whoever's it is, as well as storeRoot.
std::string checkLocation(const std::string& folder, const std::string& storeRoot, bool requireDirectory,
                          const SafetyPolicy& policy);

// The relative path with empty components dropped, or throws
// RedomarkError::invalidRelativePath.
std::string validateRelativePath(const std::string& relativePath);

}  // namespace redomark
