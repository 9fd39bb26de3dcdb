// Where an operation may work: a folder that is not a place of the system,
// not a store and not inside one, whoever's it is; and an item inside it
// named by a relative path that cannot lead out of it.
#pragma once

#include <string>

#include "core/fs/safety_policy.h"

namespace redomark {

// The canonical folder path, or throws RedomarkError notADirectory, insideStore,
// containsStore or forbiddenLocation. Any per-volume store counts as a store,
// whoever's it is, as well as storeRoot.
std::string checkLocation(const std::string& folder, const std::string& storeRoot, bool requireDirectory,
                          const SafetyPolicy& policy);

// The relative path with empty components dropped, or throws
// RedomarkError::invalidRelativePath: absolute, empty, or with "." or "..".
std::string validateRelativePath(const std::string& relativePath);

}  // namespace redomark
