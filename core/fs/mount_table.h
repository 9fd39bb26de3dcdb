// Which mount holds a path, from the kernel's table of this process's mounts
// (/proc/self/mountinfo). Used to learn a volume's mount point and type name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace redomark {

struct MountEntry {
  std::string mountPoint;  // unescaped, as the kernel lists it
  std::string fsType;      // "btrfs", "xfs", "ext4", "fuse.sshfs", ...
};

// The entry of table (mountinfo text) whose mount point is the longest one
// containing resolvedPath (absolute, no links), the last of them when one is
// mounted over another; nothing when no line matches.
std::optional<MountEntry> findMount(std::string_view table, std::string_view resolvedPath);

// findMount over this process's table; nothing when it cannot be read.
std::optional<MountEntry> mountHolding(std::string_view resolvedPath);

}  // namespace redomark
