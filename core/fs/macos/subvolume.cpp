#include "core/fs/subvolume.h"

#include <cerrno>

namespace redomark {

// Subvolumes are Btrfs's; APFS has none (its volumes are mounts of their own,
// which the walk refuses as other volumes), so every folder is saved and
// restored file by file and none of these ever applies.

bool isSubvolume(int) { return false; }

bool isSubvolume(const DirectoryHandle&) { return false; }

bool isNestedSubvolumeStub(uint64_t) { return false; }

std::string btrfsFileSystemId(int) { return {}; }

int snapshotSubvolume(int, int, const std::string&, bool) { return ENOTSUP; }

int snapshotSubvolume(const DirectoryHandle&, const DirectoryHandle&, const std::string&, bool) { return ENOTSUP; }

int createSubvolume(int, const std::string&) { return ENOTSUP; }

int createPrivateSubvolume(const DirectoryHandle&, const std::string&) { return ENOTSUP; }

int makeSubvolumeWritable(int) { return 0; }

int destroySubvolume(int, const std::string&) { return ENOTSUP; }

}  // namespace redomark
