#include "core/fs/subvolume.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/fs/file_descriptor.h"

namespace redomark {

namespace {

// Names longer than the ioctl's field are refused rather than cut.
bool copyName(char* field, size_t capacity, const std::string& name) {
  if (name.empty() || name.size() >= capacity) return false;
  std::memcpy(field, name.data(), name.size());
  field[name.size()] = 0;
  return true;
}

}  // namespace

bool isSubvolume(int directoryFd) {
  struct stat facts {};
  struct statfs disk {};
  if (fstat(directoryFd, &facts) != 0 || !S_ISDIR(facts.st_mode)) return false;
  if (fstatfs(directoryFd, &disk) != 0 || disk.f_type != BTRFS_SUPER_MAGIC) return false;
  return facts.st_ino == BTRFS_FIRST_FREE_OBJECTID;
}

std::string btrfsFileSystemId(int fd) {
  if (fd < 0) return {};
  btrfs_ioctl_fs_info_args facts{};
  if (ioctl(fd, BTRFS_IOC_FS_INFO, &facts) != 0) return {};
  static const char digits[] = "0123456789abcdef";
  std::string id;
  for (const unsigned char byte : facts.fsid) {
    id += digits[byte >> 4];
    id += digits[byte & 15];
  }
  return id;
}

bool isNestedSubvolumeStub(uint64_t inode) { return inode == BTRFS_EMPTY_SUBVOL_DIR_OBJECTID; }

bool isSubvolume(const DirectoryHandle& directory) { return isSubvolume(directory.fd()); }

int snapshotSubvolume(const DirectoryHandle& source, const DirectoryHandle& parent, const std::string& name,
                      bool readOnly) {
  return snapshotSubvolume(source.fd(), parent.fd(), name, readOnly);
}

int snapshotSubvolume(int sourceFd, int parentFd, const std::string& name, bool readOnly) {
  btrfs_ioctl_vol_args_v2 request{};
  request.fd = sourceFd;
  request.flags = readOnly ? BTRFS_SUBVOL_RDONLY : 0;
  if (!copyName(request.name, sizeof request.name, name)) return ENAMETOOLONG;
  return ioctl(parentFd, BTRFS_IOC_SNAP_CREATE_V2, &request) == 0 ? 0 : errno;
}

int createSubvolume(int parentFd, const std::string& name) {
  btrfs_ioctl_vol_args request{};
  if (!copyName(request.name, sizeof request.name, name)) return ENAMETOOLONG;
  return ioctl(parentFd, BTRFS_IOC_SUBVOL_CREATE, &request) == 0 ? 0 : errno;
}

int createPrivateSubvolume(const DirectoryHandle& parent, const std::string& name) {
  if (const int code = createSubvolume(parent.fd(), name); code != 0) return code;
  // Private before anything is put in it; a name taken over meanwhile by
  // someone else's directory is not ours to change.
  const FileDescriptor made(openat(parent.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat facts {};
  if (made.get() < 0 || fstat(made.get(), &facts) != 0) return errno;
  if (facts.st_uid != geteuid() || !isSubvolume(made.get())) return 0;
  return fchmod(made.get(), 0700) == 0 ? 0 : errno;
}

int makeSubvolumeWritable(int fd) {
  uint64_t flags = 0;
  if (ioctl(fd, BTRFS_IOC_SUBVOL_GETFLAGS, &flags) != 0) return errno;
  if ((flags & BTRFS_SUBVOL_RDONLY) == 0) return 0;
  flags &= ~static_cast<uint64_t>(BTRFS_SUBVOL_RDONLY);
  return ioctl(fd, BTRFS_IOC_SUBVOL_SETFLAGS, &flags) == 0 ? 0 : errno;
}

int destroySubvolume(int parentFd, const std::string& name) {
  btrfs_ioctl_vol_args_v2 request{};
  if (!copyName(request.name, sizeof request.name, name)) return ENAMETOOLONG;
  return ioctl(parentFd, BTRFS_IOC_SNAP_DESTROY_V2, &request) == 0 ? 0 : errno;
}

}  // namespace redomark
