#include "core/fs/clone_calls.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/fs/mount_table.h"

namespace redomark {

namespace {

// The answers of a file system that keeps no inode flags, or not this one.
bool flagsUnsupported(int error) {
  return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

}  // namespace

uint64_t mountIdOf(int fd) {
  struct statx facts;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &facts) != 0 || !(facts.stx_mask & STATX_MNT_ID)) return 0;
  return facts.stx_mnt_id;
}

int readNoCow(int fd, bool& noCow) {
  int flags = 0;
  noCow = false;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0)
    noCow = (flags & FS_NOCOW_FL) != 0;
  else if (!flagsUnsupported(errno))
    return errno;
  return 0;
}

// Btrfs ignores the attribute on a file that already has data.
int writeNoCow(int fd, bool noCow) {
  int flags = 0;
  int error = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    error = errno;
  } else if (const int wanted = noCow ? flags | FS_NOCOW_FL : flags & ~FS_NOCOW_FL; wanted != flags) {
    if (ioctl(fd, FS_IOC_SETFLAGS, &wanted) != 0) error = errno;
  }
  // A file system without the attribute has nothing to carry.
  return flagsUnsupported(error) ? 0 : error;
}

bool mayCloneAcrossNoCow(int destinationFd) {
  const std::optional<MountEntry> mount = mountOf(destinationFd);
  if (!mount) return true;
  // With these, new files lack data checksums like files with the attribute.
  const std::string options = "," + mount->options + ",";
  return options.find(",nodatasum,") != std::string::npos || options.find(",nodatacow,") != std::string::npos;
}

bool copiesScaleWithThreads(int destinationFd) {
  struct statfs disk {};
  return fstatfs(destinationFd, &disk) == 0 && disk.f_type != BTRFS_SUPER_MAGIC;
}

int createCopyFile(int, int directory, const char* name, mode_t mode, bool& cloned) {
  cloned = false;
  return openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

void itemTimes(const struct stat& st, timespec (&times)[2]) {
  times[0] = st.st_atim;
  times[1] = st.st_mtim;
}

}  // namespace redomark
