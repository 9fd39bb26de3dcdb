// Opening an item only to list it, examine it or clone it, without moving its
// access time: a read would otherwise make its inode one more to write at the
// next commit (every directory of a fresh copy, whose change time is newer).
#pragma once

namespace redomark {

// openat(directoryFd, name, flags), with O_NOATIME where the kernel allows it:
// only the item's owner, or root, may ask; anyone else opens it plainly.
int openToLook(int directoryFd, const char* name, int flags);

}  // namespace redomark
