#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

#include <algorithm>
#include <memory>

#include "core/fs/file_records.h"
#include "core/fs/volume.h"

namespace redomark {

namespace {

int64_t metadataCopiesOf(uint64_t flags) {
  if (flags & BTRFS_BLOCK_GROUP_RAID1C4) return 4;
  if (flags & BTRFS_BLOCK_GROUP_RAID1C3) return 3;
  if (flags & (BTRFS_BLOCK_GROUP_DUP | BTRFS_BLOCK_GROUP_RAID1 | BTRFS_BLOCK_GROUP_RAID10)) return 2;
  return 1;
}

// The metadata profile's copies, from the space the volume has set aside for
// metadata; 2, the profile of a volume on one device, when it won't say.
int64_t btrfsMetadataCopies(int fd) {
  btrfs_ioctl_space_args count{};
  if (ioctl(fd, BTRFS_IOC_SPACE_INFO, &count) != 0 || count.total_spaces == 0) return 2;
  const uint64_t slots = count.total_spaces;
  const size_t bytes = sizeof(btrfs_ioctl_space_args) + slots * sizeof(btrfs_ioctl_space_info);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bytes]());
  auto* spaces = reinterpret_cast<btrfs_ioctl_space_args*>(buffer.get());
  spaces->space_slots = slots;
  if (ioctl(fd, BTRFS_IOC_SPACE_INFO, spaces) != 0) return 2;
  for (uint64_t i = 0; i < std::min<uint64_t>(spaces->total_spaces, slots); ++i) {
    const uint64_t flags = spaces->spaces[i].flags;
    if ((flags & BTRFS_BLOCK_GROUP_METADATA) && spaces->spaces[i].total_bytes > 0) return metadataCopiesOf(flags);
  }
  return 2;
}

}  // namespace

RecordGeometry readRecordGeometry(const DirectoryHandle& directory) {
  const int fd = directory.fd();
  RecordGeometry geometry;
  struct statfs disk {};
  if (fd < 0 || fstatfs(fd, &disk) != 0) return geometry;
  if (disk.f_type == BTRFS_SUPER_MAGIC) {
    geometry.kind = RecordGeometry::Kind::btrfs;
    geometry.metadataCopies = btrfsMetadataCopies(fd);
    btrfs_ioctl_fs_info_args facts{};
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &facts) == 0 && facts.sectorsize > 0) geometry.blockSize = facts.sectorsize;
  } else if (disk.f_type == XFS_SUPER_MAGIC) {
    const std::optional<XfsSizes> sizes = xfsSizes(fd);
    if (!sizes) return geometry;
    geometry.kind = RecordGeometry::Kind::xfs;
    geometry.inodeSize = sizes->inodeSize;
    geometry.blockSize = sizes->blockSize;
  }
  return geometry;
}

}  // namespace redomark
