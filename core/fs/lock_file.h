// An advisory, exclusive, non-waiting lock held through an open descriptor of
// a lock file. The system drops it when the descriptor is closed or the
// process ends, so a crashed holder leaves no stale lock. The descriptor is
// not closed on exec, as the lock's protocol asks.
#pragma once

#include <optional>
#include <string>

#include "core/fs/directory_handle.h"

namespace redomark {

class LockFile {
 public:
  // Opens name in dir for reading and writing, creating it with mode 0600; a
  // symbolic link at name is refused. The FsError (FsOperation::open) when it
  // cannot be opened.
  static FsResult<LockFile> open(const DirectoryHandle& dir, const std::string& name);

  LockFile(LockFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  LockFile& operator=(LockFile&&) = delete;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile();

  // flock LOCK_EX | LOCK_NB: false when any descriptor, even one of this
  // process, holds the lock, or the call fails.
  bool tryLockExclusive();
  void unlock();
  // Whether the locked file still has a name, and it is name in dir. A lock
  // taken on a file that its last holder removed meanwhile guards nothing.
  bool isEntry(const DirectoryHandle& dir, const std::string& name) const;

 private:
  explicit LockFile(int fd) : fd_(fd) {}

  int fd_;  // -1 once moved from
};

}  // namespace redomark
