#include "core/fs/mount_table.h"

#include <sys/mount.h>
#include <sys/param.h>

#include <cstring>

namespace redomark {

// macOS keeps no mount table to read as text: the kernel answers for each
// mount (getmntinfo) and for the mount that holds an open file (fstatfs). The
// mountinfo readers (findMount, findMountById, mountEntries) are Linux's alone.

namespace {

MountEntry entryOf(const struct statfs& disk) {
  MountEntry entry;
  entry.mountPoint = disk.f_mntonname;
  entry.fsType = disk.f_fstypename;
  entry.id = static_cast<uint32_t>(disk.f_fsid.val[0]) | static_cast<uint64_t>(static_cast<uint32_t>(disk.f_fsid.val[1])) << 32;
  entry.options = (disk.f_flags & MNT_RDONLY) ? "ro" : "rw";
  return entry;
}

// Whether path is directory or lies below it.
bool holds(std::string_view directory, std::string_view path) {
  if (directory == "/") return path.starts_with('/');
  return path.starts_with(directory) && (path.size() == directory.size() || path[directory.size()] == '/');
}

}  // namespace

std::vector<MountEntry> currentMounts() {
  struct statfs* disks = nullptr;
  // MNT_NOWAIT: the kernel's last figures, without asking each file system
  // (a network one could keep the tool waiting).
  const int count = getmntinfo(&disks, MNT_NOWAIT);
  std::vector<MountEntry> entries;
  for (int i = 0; i < count; ++i) entries.push_back(entryOf(disks[i]));
  return entries;
}

std::optional<MountEntry> mountOf(int fd) {
  struct statfs disk {};
  if (fstatfs(fd, &disk) != 0) return std::nullopt;
  return entryOf(disk);
}

std::optional<MountEntry> mountHolding(std::string_view resolvedPath) {
  std::optional<MountEntry> found;
  for (MountEntry& entry : currentMounts()) {
    if (!holds(entry.mountPoint, resolvedPath)) continue;
    if (!found || entry.mountPoint.size() >= found->mountPoint.size()) found = std::move(entry);
  }
  return found;
}

}  // namespace redomark
