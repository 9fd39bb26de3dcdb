#include "core/fs/mount_table.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "core/fs/file_ops.h"

namespace redomark {

std::vector<MountEntry> currentMounts() {
  const std::optional<std::string> table = readWholeFile("/proc/self/mountinfo");
  if (!table) return {};
  return mountEntries(*table);
}

std::optional<MountEntry> mountOf(int fd) {
  struct statx facts;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &facts) != 0 || !(facts.stx_mask & STATX_MNT_ID)) return std::nullopt;
  const std::optional<std::string> table = readWholeFile("/proc/self/mountinfo");
  if (!table) return std::nullopt;
  return findMountById(*table, facts.stx_mnt_id);
}

std::optional<MountEntry> mountHolding(std::string_view resolvedPath) {
  const std::optional<std::string> table = readWholeFile("/proc/self/mountinfo");
  if (!table) return std::nullopt;
  return findMount(*table, resolvedPath);
}

}  // namespace redomark
