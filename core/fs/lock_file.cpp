#include "core/fs/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs/item_status.h"

namespace redomark {

FsResult<LockFile> LockFile::open(const DirectoryHandle& dir, const std::string& name) {
  // Deliberately no O_CLOEXEC. O_NOFOLLOW keeps a planted link from making
  // the lock create or hold a file outside the store.
  const int fd = openat(dir.fd(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
  if (fd < 0) return FsError(errno, FsOperation::open, dir.path() + "/" + name);
  return LockFile(fd);
}

LockFile::~LockFile() {
  if (fd_ >= 0) close(fd_);
}

bool LockFile::tryLockExclusive() {
  int rc;
  do {
    rc = flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

void LockFile::unlock() { flock(fd_, LOCK_UN); }

bool LockFile::isEntry(const DirectoryHandle& dir, const std::string& name) const {
  const std::optional<ItemStatus> locked = itemStatusAt(fd_, "");
  const FsResult<ItemStatus> entry = dir.status(name);
  return locked && entry && locked->sameItem(*entry) && locked->links > 0;
}

}  // namespace redomark
