#include "core/fs/entry_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs/item_status.h"

namespace redomark {

namespace {

constexpr size_t listingBufferBytes = 64 * 1024;

}  // namespace

// statx rather than fstatat: the same one call, and it also tells a mount
// point whose device is the folder's own (a bind mount of the same volume).
int examineEntry(int directoryFd, const char* name, EntryFacts& facts) {
  struct statx found;
  if (statx(directoryFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME, &found) != 0)
    return errno;
  facts.kind = kindOfMode(found.stx_mode);
  facts.size = facts.kind == EntryKind::file ? static_cast<int64_t>(found.stx_size) : 0;
  facts.mtimeNs = found.stx_mtime.tv_sec * 1'000'000'000 + found.stx_mtime.tv_nsec;
  facts.dev = makedev(found.stx_dev_major, found.stx_dev_minor);
  facts.inode = found.stx_ino;
  facts.mountRoot = (found.stx_attributes & found.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
  return 0;
}

int readEntryNames(int directoryFd, std::vector<char>& buffer, const std::function<void(const char* name)>& each) {
  if (buffer.empty()) buffer.resize(listingBufferBytes);
  for (;;) {
    const ssize_t got = getdents64(directoryFd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    for (ssize_t at = 0; at < got;) {
      const auto* d = reinterpret_cast<const dirent64*>(buffer.data() + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      each(name);
    }
  }
}

}  // namespace redomark
