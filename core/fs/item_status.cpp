#include "core/fs/item_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace redomark {

std::optional<ItemStatus> itemStatusAt(int directoryFd, const char* name) {
  struct statx facts;
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  if (statx(directoryFd, name, flags, STATX_BASIC_STATS, &facts) != 0) return std::nullopt;
  ItemStatus status;
  const mode_t mode = facts.stx_mode;
  status.kind = kindOfMode(mode);
  if (status.kind == EntryKind::file) status.size = static_cast<int64_t>(facts.stx_size);
  status.mtimeNs = facts.stx_mtime.tv_sec * 1'000'000'000 + facts.stx_mtime.tv_nsec;
  status.device = makedev(facts.stx_dev_major, facts.stx_dev_minor);
  status.inode = facts.stx_ino;
  status.mode = mode & 07777;
  status.owner = facts.stx_uid;
  status.links = facts.stx_nlink;
  status.mountRoot = (facts.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (facts.stx_attributes & STATX_ATTR_MOUNT_ROOT);
  return status;
}

}  // namespace redomark
