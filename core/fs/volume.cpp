#include "core/fs/volume.h"

#include <fcntl.h>
#include <linux/btrfs_tree.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/mount_table.h"
#include "core/fs/safety_policy.h"
#include "core/fs/subvolume.h"
#include "core/fs/typed_path.h"

namespace redomark {

namespace {

// The geometry record of the XFS ioctl, laid out as the kernel's
// struct xfs_fsop_geom; the XFS headers are not a build dependency.
struct XfsGeometry {
  uint32_t blocksize, rtextsize, agblocks, agcount, logblocks, sectsize, inodesize, imaxpct;
  uint64_t datablocks, rtblocks, rtextents, logstart;
  unsigned char uuid[16];
  uint32_t sunit, swidth;
  int32_t version;
  uint32_t flags, logsectsize, rtsectsize, dirblocksize, logsunit;
  uint32_t sick, checked;
  uint64_t reserved[17];
};
static_assert(sizeof(XfsGeometry) == 256);

// The current request, and the older one that ends at logsunit, for kernels
// before 5.1; both fill flags at the same place.
constexpr unsigned long xfsGeometryRequest = _IOR('X', 126, XfsGeometry);
constexpr unsigned long xfsGeometryRequestV4 = _IOR('X', 124, char[112]);
constexpr uint32_t xfsReflinkFlag = 1u << 20;

// A descriptor the file-system queries can be sent to: the directory itself,
// read through the examined one, else the root of its mount, reached without
// a link and checked to be that very mount. Never a device or FIFO. -1 when
// neither can be opened.
int openForQueries(int examined, const struct stat& facts, const std::string& mountPoint, uint64_t mountId) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (S_ISDIR(facts.st_mode)) {
    const int fd = openat(examined, ".", flags);
    if (fd >= 0) return fd;
  }
  FsResult<DirectoryHandle> root = DirectoryHandle::open(mountPoint);
  if (!root) return -1;
  const std::optional<MountEntry> rootMount = mountOf(root->fd());
  if (!rootMount || rootMount->id != mountId) return -1;
  return fcntl(root->fd(), F_DUPFD_CLOEXEC, 0);
}

std::optional<XfsGeometry> xfsGeometry(int fd) {
  XfsGeometry geometry{};
  if (ioctl(fd, xfsGeometryRequest, &geometry) != 0 && ioctl(fd, xfsGeometryRequestV4, &geometry) != 0)
    return std::nullopt;
  return geometry;
}

bool xfsHasReflink(int fd) {
  const std::optional<XfsGeometry> geometry = xfsGeometry(fd);
  return geometry && (geometry->flags & xfsReflinkFlag) != 0;
}

bool canShareBlocks(const VolumeInfo& info, int fd) {
  if (info.fsType == "btrfs" || info.fsType == "bcachefs") return true;
  return info.fsType == "xfs" && fd >= 0 && xfsHasReflink(fd);
}

// renameat2 cannot be asked whether it would exchange without trying it, so
// this is the list of file systems whose rename implements the exchange.
bool canExchangeEntries(const std::string& fsType) {
  static const char* const exchanging[] = {"btrfs", "xfs", "ext4", "ext3", "bcachefs", "f2fs", "tmpfs", "ubifs"};
  for (const char* name : exchanging)
    if (fsType == name) return true;
  return false;
}

// Bytes of one unshared extent. Btrfs keeps a small file's data in its
// metadata and maps it as one inline extent of a whole block; what it costs
// is the file's bytes in it.
int64_t privateBytesOf(const fiemap_extent& e, int fd, struct stat& facts, bool& stated) {
  if (!(e.fe_flags & FIEMAP_EXTENT_DATA_INLINE)) return static_cast<int64_t>(e.fe_length);
  if (!stated) {
    if (fstat(fd, &facts) != 0) return static_cast<int64_t>(e.fe_length);
    stated = true;
  }
  const auto size = static_cast<uint64_t>(facts.st_size);
  return static_cast<int64_t>(size <= e.fe_logical ? 0 : std::min<uint64_t>(e.fe_length, size - e.fe_logical));
}

// The volume of the item open as item. A descriptor that can act on
// nothing (O_PATH) has the file system's queries sent to one opened for them.
VolumeInfo volumeOf(int item, const std::string& path, bool canQuery) {
  const auto diskError = [&] { return FsError(errno, FsOperation::readDisk, path); };
  struct stat facts {};
  if (fstat(item, &facts) != 0) throw diskError();
  std::optional<MountEntry> mount = mountOf(item);
  if (!mount) throw diskError();
  VolumeInfo info;
  info.device = facts.st_dev;
  info.mountPoint = std::move(mount->mountPoint);
  info.fsType = std::move(mount->fsType);
  const FileDescriptor opened(canQuery ? -1 : openForQueries(item, facts, info.mountPoint, mount->id));
  const int queries = canQuery ? item : opened.get();
  info.canClone = canShareBlocks(info, queries);
  if (info.fsType == "btrfs") info.fileSystemId = btrfsFileSystemId(queries);
  info.canSwap = canExchangeEntries(info.fsType);
  return info;
}

}  // namespace

VolumeInfo readVolumeInfo(const std::string& path) {
  // The path is resolved once; from then on everything is asked of one
  // descriptor, reached without a link, that can act on nothing.
  const std::optional<std::string> real = resolvedPath(path);
  const FileDescriptor item(real ? openToExamine(*real) : -1);
  if (item.get() < 0) throwErrno(FsOperation::read, path);
  return volumeOf(item.get(), path, false);
}

VolumeInfo readVolumeInfo(const DirectoryHandle& directory) { return volumeOf(directory.fd(), directory.path(), true); }

bool sameFileSystem(const VolumeInfo& a, const VolumeInfo& b) {
  if (!a.fileSystemId.empty() && !b.fileSystemId.empty()) return a.fileSystemId == b.fileSystemId;
  // Without the id, two Btrfs subvolumes below one mount are still one file
  // system, whatever their device numbers.
  if (a.fsType == "btrfs" && b.fsType == "btrfs" && !a.mountPoint.empty() && a.mountPoint == b.mountPoint) return true;
  return a.device == b.device;
}

bool isSubvolumeRoot(const VolumeInfo& volume, uint64_t inode) {
  return volume.fsType == "btrfs" && inode == BTRFS_FIRST_FREE_OBJECTID;
}

int64_t availableSpace(const DirectoryHandle& directory) { return availableSpace(directory.fd()); }

int64_t availableSpace(int fd) {
  struct statfs disk {};
  if (fstatfs(fd, &disk) != 0) return 0;
  return static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_bsize);
}

std::optional<XfsSizes> xfsSizes(int fd) {
  const std::optional<XfsGeometry> geometry = xfsGeometry(fd);
  if (!geometry) return std::nullopt;
  return XfsSizes{geometry->inodesize, geometry->blocksize};
}

std::optional<FileSpace> fileSpaceAt(int directoryFd, const char* name) {
  FileDescriptor fd(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat facts {};
  bool stated = false;
  // Only a file with private bytes needs its links known: one more call for
  // those alone.
  FileSpace space;
  const auto done = [&](int64_t total) -> std::optional<FileSpace> {
    space.privateBytes = total;
    if (total == 0) return space;
    if (!stated && fstat(fd.get(), &facts) != 0) return space;
    space.inode = static_cast<uint64_t>(facts.st_ino);
    space.linked = facts.st_nlink > 1;
    return space;
  };

  constexpr uint32_t batch = 128;
  alignas(struct fiemap) unsigned char buffer[sizeof(struct fiemap) + batch * sizeof(struct fiemap_extent)];
  auto* request = reinterpret_cast<struct fiemap*>(buffer);
  int64_t total = 0;
  uint64_t start = 0;
  for (;;) {
    std::memset(request, 0, sizeof(struct fiemap));
    request->fm_start = start;
    request->fm_length = FIEMAP_MAX_OFFSET - start;
    request->fm_extent_count = batch;
    if (ioctl(fd.get(), FS_IOC_FIEMAP, request) != 0) return std::nullopt;
    const uint32_t mapped = request->fm_mapped_extents;
    if (mapped == 0) return done(total);
    for (uint32_t i = 0; i < mapped; ++i) {
      const fiemap_extent& e = request->fm_extents[i];
      if (e.fe_flags & FIEMAP_EXTENT_DATA_INLINE) {
        ++space.inlineExtents;
        space.inlineBytes += privateBytesOf(e, fd.get(), facts, stated);
      } else {
        ++space.extents;
      }
      if (!(e.fe_flags & FIEMAP_EXTENT_SHARED)) total += privateBytesOf(e, fd.get(), facts, stated);
    }
    const fiemap_extent& last = request->fm_extents[mapped - 1];
    if (last.fe_flags & FIEMAP_EXTENT_LAST) return done(total);
    start = last.fe_logical + last.fe_length;
  }
}

}  // namespace redomark
