// What one directory entry is, read without following a final symbolic link:
// enough to tell whether a saved item and the current one are the same file,
// and whether a directory is still the one that was checked.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "core/records/checkpoint.h"

namespace redomark {

struct ItemStatus {
  EntryKind kind = EntryKind::other;
  int64_t size = 0;  // bytes for a regular file, 0 for every other kind
  int64_t mtimeNs = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t mode = 0;  // permission bits with set-id and sticky bits
  uint32_t owner = 0;
  uint32_t links = 0;  // names the item has; 0 once its last one is removed
  bool mountRoot = false;  // the root of a mount, a bind mount of the same volume too

  bool sameItem(const ItemStatus& other) const { return device == other.device && inode == other.inode; }
};

// The kind of an item of this mode (st_mode or stx_mode).
inline EntryKind kindOfMode(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return EntryKind::file;
    case S_IFDIR: return EntryKind::directory;
    case S_IFLNK: return EntryKind::symlink;
    default: return EntryKind::other;
  }
}

// The facts of the entry name of the open directory directoryFd (name empty:
// the directory itself); nothing when it is missing or cannot be examined,
// with errno set.
std::optional<ItemStatus> itemStatusAt(int directoryFd, const char* name);

}  // namespace redomark
