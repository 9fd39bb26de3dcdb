#include "core/fs/item_status.h"

#include <fcntl.h>
#include <sys/attr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace redomark {

namespace {

// Whether the directory is a mount point, as the volume reports it
// (ATTR_DIR_MOUNTSTATUS), without following a final link.
bool isMountPoint(int directoryFd, const char* name) {
  struct {
    uint32_t length;
    uint32_t mountStatus;
  } __attribute__((aligned(4), packed)) reply {};
  attrlist request {};
  request.bitmapcount = ATTR_BIT_MAP_COUNT;
  request.dirattr = ATTR_DIR_MOUNTSTATUS;
  const int saved = errno;
  const int got = name[0] == '\0' ? fgetattrlist(directoryFd, &request, &reply, sizeof reply, 0)
                                  : getattrlistat(directoryFd, name, &request, &reply, sizeof reply, FSOPT_NOFOLLOW);
  errno = saved;
  return got == 0 && (reply.mountStatus & DIR_MNTSTATUS_MNTPOINT) != 0;
}

}  // namespace

std::optional<ItemStatus> itemStatusAt(int directoryFd, const char* name) {
  struct stat facts {};
  const int got = name[0] == '\0' ? fstat(directoryFd, &facts) : fstatat(directoryFd, name, &facts, AT_SYMLINK_NOFOLLOW);
  if (got != 0) return std::nullopt;
  ItemStatus status;
  const mode_t mode = facts.st_mode;
  status.kind = kindOfMode(mode);
  if (status.kind == EntryKind::file) status.size = static_cast<int64_t>(facts.st_size);
  if (status.kind == EntryKind::directory) status.mountRoot = isMountPoint(directoryFd, name);
  status.mtimeNs = facts.st_mtimespec.tv_sec * 1'000'000'000 + facts.st_mtimespec.tv_nsec;
  status.device = static_cast<uint64_t>(facts.st_dev);
  status.inode = facts.st_ino;
  status.mode = mode & 07777;
  status.owner = facts.st_uid;
  return status;
}

}  // namespace redomark
