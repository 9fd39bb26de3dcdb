#include "core/fs/directory_calls.h"

#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"

namespace redomark {

// No path is ever handed to the kernel whole: any length works, and
// O_NOFOLLOW_ANY guards each open against a link swapped in after the check.
int openWithoutLinks(int startFd, std::string_view path, int flags, bool sameMount) {
  return openByComponents(startFd, path, flags | O_NOFOLLOW_ANY, directoryFlags | O_NOFOLLOW_ANY, sameMount);
}

// Without O_PATH, a descriptor opened for event notification only reads and
// writes nothing; O_NONBLOCK keeps a FIFO from waiting for a writer. A link at
// the last component is refused (ELOOP) rather than opened.
int openToExamine(const std::string& absolutePath) {
  if (!absolutePath.starts_with('/')) {
    errno = EINVAL;
    return -1;
  }
  return openWithoutLinks(AT_FDCWD, absolutePath, O_EVTONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, false);
}

// Without O_PATH, what is at a path is examined in its parent, which is
// reached without a link.
FsResult<ItemStatus> examine(const std::string& absolutePath) {
  const auto failed = [&](int error) { return FsError(error, FsOperation::examine, absolutePath); };
  if (!absolutePath.starts_with('/')) return failed(EINVAL);
  if (absolutePath == "/") {
    const std::optional<ItemStatus> root = itemStatusAt(AT_FDCWD, "/");
    if (!root) return failed(errno);
    return *root;
  }
  const FsResult<DirectoryHandle> parent = DirectoryHandle::open(parentPath(absolutePath));
  if (!parent) return failed(parent.code());
  const FsResult<ItemStatus> facts = parent->status(lastComponent(absolutePath));
  if (!facts) return failed(facts.code());
  return *facts;
}

// APFS's fsync leaves the data in the drive's cache; F_FULLFSYNC asks the
// drive to write it out. Where the file system refuses it, fsync is all there is.
int commitFile(int fd) {
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
  return fsync(fd);
}

// macOS has no syncfs: the volume is found from the open directory (its
// mount point as the kernel reports it) and committed whole, waiting for the
// drive; then the directory itself.
int commitFileSystem(int fd) {
  struct statfs disk {};
  if (fstatfs(fd, &disk) != 0) return -1;
  if (const int code = sync_volume_np(disk.f_mntonname, SYNC_VOLUME_FULLSYNC | SYNC_VOLUME_WAIT); code != 0) {
    errno = code;
    return -1;
  }
  return commitFile(fd);
}

int renameWithoutReplacing(int fromFd, const char* from, int toFd, const char* to) {
  if (renameatx_np(fromFd, from, toFd, to, RENAME_EXCL) == 0) return 0;
  if (errno == EINVAL) errno = ENOTSUP;  // what a file system without the flag says
  return -1;
}

int exchangeEntries(int directoryFd, const char* a, const char* b) {
  return renameatx_np(directoryFd, a, directoryFd, b, RENAME_SWAP);
}

}  // namespace redomark
