// Facts about the volume that holds a path: which one, whether it can clone
// and swap, free space, and how much of a file is shared with no other file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/fs/directory_handle.h"

namespace redomark {

struct VolumeInfo {
  uint64_t device = 0;  // st_dev; equal for two paths exactly when they share a volume
  std::string mountPoint;
  std::string fsType;  // "btrfs", "xfs", "ext4", ...
  bool canClone = false;
  bool canSwap = false;
  // Btrfs only: the file system's id, the same in every subvolume of it
  // although each subvolume has a device number of its own; empty elsewhere.
  std::string fileSystemId;
};

// Whether two volumes are one file system, so that files clone between them:
// on Btrfs by the file system's id (or, where it can't be read, the mount),
// elsewhere by device number.
bool sameFileSystem(const VolumeInfo& a, const VolumeInfo& b);

// Throws FsError: FsOperation::read when the path cannot be examined,
// FsOperation::readDisk when its file system cannot.
VolumeInfo readVolumeInfo(const std::string& path);
// The same for an open directory, with its path in the messages; its mount is
// found by the directory's mount id, not by looking its path up again.
VolumeInfo readVolumeInfo(const DirectoryHandle& directory);

// Whether the directory with this inode number on the volume is the root of a
// Btrfs subvolume of its own.
bool isSubvolumeRoot(const VolumeInfo& volume, uint64_t inode);

// Bytes an ordinary write could still use on the volume of the open fd; 0
// when nothing can be learned.
int64_t availableSpace(int fd);
int64_t availableSpace(const DirectoryHandle& directory);

// The inode and block size of the XFS volume that holds the open fd; nothing
// elsewhere.
struct XfsSizes {
  int64_t inodeSize = 0;
  int64_t blockSize = 0;
};
std::optional<XfsSizes> xfsSizes(int fd);

struct FileSpace {
  // Bytes of the file's extents that are not shared, an extent kept inline in
  // the file system's metadata counting the file's bytes in it, not a whole block.
  int64_t privateBytes = 0;
  // Known when privateBytes is not 0: the inode, and whether it has more
  // names than this one, so that a sum can count its bytes once.
  uint64_t inode = 0;
  bool linked = false;
  // What the file system maps, shared or not: extents outside its metadata,
  // and the ones inside it with the file bytes they hold.
  int64_t extents = 0;
  int64_t inlineExtents = 0;
  int64_t inlineBytes = 0;
};
// The space of the entry name of the open directory directoryFd (a final link
// is not followed); nothing when the file cannot be opened or mapped.
std::optional<FileSpace> fileSpaceAt(int directoryFd, const char* name);

}  // namespace redomark
