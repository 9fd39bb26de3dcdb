#include "core/fs/entry_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs/item_status.h"

namespace redomark {

// st_flags carries SF_DATALESS, the mark of a file whose data is only in the
// cloud; macOS has no bind mounts, so another mount shows by its device alone.
int examineEntry(int directoryFd, const char* name, EntryFacts& facts) {
  struct stat found {};
  if (fstatat(directoryFd, name, &found, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  facts.kind = kindOfMode(found.st_mode);
  facts.size = facts.kind == EntryKind::file ? static_cast<int64_t>(found.st_size) : 0;
  facts.mtimeNs = found.st_mtimespec.tv_sec * 1'000'000'000 + found.st_mtimespec.tv_nsec;
  facts.dev = static_cast<uint64_t>(found.st_dev);
  facts.inode = found.st_ino;
  facts.mountRoot = false;
  facts.flags = found.st_flags;
  return 0;
}

// The stream reads through a duplicate, which shares the offset: rewound
// first, it lists the directory from its start whatever was read before.
int readEntryNames(int directoryFd, std::vector<char>&, const std::function<void(const char* name)>& each) {
  const int copy = fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return errno;
  DIR* dir = fdopendir(copy);
  if (!dir) {
    const int error = errno;
    close(copy);
    return error;
  }
  rewinddir(dir);
  errno = 0;
  while (const dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    each(name);
    errno = 0;
  }
  const int error = errno;
  closedir(dir);
  return error;
}

}  // namespace redomark
