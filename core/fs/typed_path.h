// How a path a person typed becomes the one canonical path under which the
// store knows a folder: "~" expanded, links resolved once.
#pragma once

#include <optional>
#include <string>

#include "core/fs/item_status.h"

namespace redomark {

// $HOME when it is set, not empty and a directory the effective user owns,
// else the password database's home of the effective user.
std::string homeDirectory();

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

}  // namespace redomark
