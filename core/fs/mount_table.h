// Which mount holds a path, from the kernel's table of this process's mounts
// (/proc/self/mountinfo). Used to learn a volume's mount point and type name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace redomark {

struct MountEntry {
  std::string mountPoint;  // unescaped, as the kernel lists it
  std::string fsType;      // "btrfs", "xfs", "ext4", "fuse.sshfs", ...
  uint64_t id = 0;         // the mount id that statx reports for what lies on it
  std::string options;     // the file system's own, comma-separated: "rw,ssd,subvolid=5,..."
};

// The entry of table (mountinfo text) whose mount point is the longest one
// containing resolvedPath (absolute, no links), the last of them when one is
// mounted over another; nothing when no line matches.
std::optional<MountEntry> findMount(std::string_view table, std::string_view resolvedPath);

// The entry of table with the mount id; nothing when no line has it.
std::optional<MountEntry> findMountById(std::string_view table, uint64_t id);

// Every entry of table, in its order; lines that can't be read are left out.
std::vector<MountEntry> mountEntries(std::string_view table);
// mountEntries of this process's table; empty when it cannot be read.
std::vector<MountEntry> currentMounts();

// findMount over this process's table; nothing when it cannot be read.
std::optional<MountEntry> mountHolding(std::string_view resolvedPath);
// The mount that holds the open file or directory fd, found by its mount id,
// so that no path is looked up again; nothing when it cannot be learned.
std::optional<MountEntry> mountOf(int fd);

}  // namespace redomark
