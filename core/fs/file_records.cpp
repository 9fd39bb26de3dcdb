#include "core/fs/file_records.h"

#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

#include <algorithm>
#include <memory>

#include "core/fs/volume.h"

namespace redomark {

namespace {

// Btrfs item sizes: each item has a 25-byte header in its leaf. An inode has
// its inode item (160) and a back reference (10 + name) to its name, and the
// directory holds the name twice (30 + name each), by hash and by index.
constexpr int64_t btrfsItemHeader = 25;
constexpr int64_t btrfsPerItem = 4 * btrfsItemHeader + 160 + 10 + 2 * 30;
constexpr int64_t btrfsNameCopies = 3;
// A file extent item (53), and the reference a shared extent gains in the
// extent tree for the new file (an inline data reference, 29).
constexpr int64_t btrfsPerExtent = btrfsItemHeader + 53 + 29;
// A file extent item holding data inline: its header and 21 bytes before the data.
constexpr int64_t btrfsPerInlineExtent = btrfsItemHeader + 21;
constexpr int64_t btrfsMaxInline = 2048;
// Largest extent Btrfs writes, for guessing a file's extents from its size.
constexpr int64_t btrfsMaxExtent = 128 * 1024 * 1024;
// How full leaves are after many inserts in name order, in percent, as
// measured on fresh volumes after saves of 10,000 to 1,000,000 files.
constexpr int64_t btrfsLeafFillPercent = 92;

// An XFS directory entry: inode number, name length, name, file type and
// tag, padded to 8 bytes, and its hash in the leaf (8).
int64_t xfsEntryBytes(int64_t nameLength) { return (8 + 1 + nameLength + 1 + 2 + 7) / 8 * 8 + 8; }
constexpr int64_t xfsDirectoryFillPercent = 90;

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

void tallyEntry(ItemTally& tally, const RecordGeometry& geometry, std::string_view name, EntryKind kind,
                int64_t size) {
  ++tally.items;
  tally.nameBytes += static_cast<int64_t>(name.size());
  if (geometry.kind == RecordGeometry::Kind::xfs)
    tally.directoryBytes += xfsEntryBytes(static_cast<int64_t>(name.size())) * 100 / xfsDirectoryFillPercent;
  if (kind != EntryKind::file || size <= 0) return;
  if (geometry.kind == RecordGeometry::Kind::btrfs && size <= btrfsMaxInline && size < geometry.blockSize) {
    ++tally.inlineExtents;
    tally.inlineBytes += size;
  } else {
    tally.extents += (size + btrfsMaxExtent - 1) / btrfsMaxExtent;
  }
}

int64_t recordBytes(const RecordGeometry& geometry, const ItemTally& tally) {
  switch (geometry.kind) {
    case RecordGeometry::Kind::btrfs: {
      const int64_t leafBytes = tally.items * btrfsPerItem + tally.nameBytes * btrfsNameCopies +
                                tally.extents * btrfsPerExtent + tally.inlineExtents * btrfsPerInlineExtent +
                                tally.inlineBytes;
      const int64_t onDisk = leafBytes * geometry.metadataCopies * 100 / btrfsLeafFillPercent;
      return std::max<int64_t>(onDisk - tally.inlineBytes, 0);
    }
    case RecordGeometry::Kind::xfs:
      return tally.items * geometry.inodeSize + tally.directoryBytes;
    case RecordGeometry::Kind::other:
      break;
  }
  return 0;
}

}  // namespace redomark
