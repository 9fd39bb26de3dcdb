#include "core/fs/volume.h"

#include <fcntl.h>
#include <sys/attr.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/fs/file_descriptor.h"
#include "core/fs/fs_error.h"
#include "core/fs/typed_path.h"

namespace redomark {

namespace {

struct Capabilities {
  bool canClone = false;
  bool canSwap = false;
};

// What the volume says it can do (ATTR_VOL_CAPABILITIES): a capability counts
// only where the volume marks it both valid and present. Volume attributes
// are answered for the volume's root alone, hence its mount point.
Capabilities capabilitiesOf(const char* mountPoint) {
  struct {
    uint32_t length;
    vol_capabilities_attr_t capabilities;
  } __attribute__((aligned(4), packed)) reply {};
  attrlist request {};
  request.bitmapcount = ATTR_BIT_MAP_COUNT;
  request.volattr = ATTR_VOL_INFO | ATTR_VOL_CAPABILITIES;
  if (getattrlist(mountPoint, &request, &reply, sizeof reply, 0) != 0) return {};
  const uint32_t present = reply.capabilities.capabilities[VOL_CAPABILITIES_INTERFACES] &
                           reply.capabilities.valid[VOL_CAPABILITIES_INTERFACES];
  return {(present & VOL_CAP_INT_CLONE) != 0, (present & VOL_CAP_INT_RENAME_SWAP) != 0};
}

VolumeInfo infoOf(const struct stat& facts, const struct statfs& disk) {
  VolumeInfo info;
  info.device = static_cast<int32_t>(facts.st_dev);
  info.mountPoint = disk.f_mntonname;
  info.fsType = disk.f_fstypename;  // "apfs", "hfs", "msdos", "smbfs", ...
  const Capabilities can = capabilitiesOf(disk.f_mntonname);
  info.canClone = can.canClone;
  info.canSwap = can.canSwap;
  return info;
}

// Both answers from one descriptor, path naming it in the errors.
VolumeInfo infoOfDescriptor(int fd, const std::string& path) {
  struct stat facts {};
  if (fstat(fd, &facts) != 0) throwErrno(FsOperation::read, path);
  struct statfs disk {};
  if (fstatfs(fd, &disk) != 0) throwErrno(FsOperation::readDisk, path);
  return infoOf(facts, disk);
}

}  // namespace

VolumeInfo readVolumeInfo(const std::string& path) {
  // The path is resolved once; from then on everything is asked of one
  // descriptor, reached without a link, that reads nothing.
  const std::optional<std::string> real = resolvedPath(path);
  const FileDescriptor item(real ? openToExamine(*real) : -1);
  if (item.get() < 0) throwErrno(FsOperation::read, path);
  return infoOfDescriptor(item.get(), path);
}

VolumeInfo readVolumeInfo(const DirectoryHandle& directory) { return infoOfDescriptor(directory.fd(), directory.path()); }

// APFS volumes of one container share free space but not clones: two paths
// clone between them only on one volume, one device.
bool sameFileSystem(const VolumeInfo& a, const VolumeInfo& b) { return a.device == b.device; }

bool isSubvolumeRoot(const VolumeInfo&, uint64_t) { return false; }

int64_t availableSpace(int fd) {
  struct statfs disk {};
  if (fstatfs(fd, &disk) != 0) return 0;
  return static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_bsize);
}

int64_t availableSpace(const DirectoryHandle& directory) { return availableSpace(directory.fd()); }

// APFS counts the bytes a file shares with no clone itself
// (ATTR_CMNEXT_PRIVATESIZE); one call gives them with the file's identity.
std::optional<FileSpace> fileSpaceAt(int directoryFd, const char* name) {
  struct {
    uint32_t length;
    attribute_set_t returned;
    uint64_t fileId;
    uint32_t linkCount;
    off_t privateSize;
  } __attribute__((aligned(4), packed)) reply {};
  attrlist request {};
  request.bitmapcount = ATTR_BIT_MAP_COUNT;
  request.commonattr = ATTR_CMN_RETURNED_ATTRS | ATTR_CMN_FILEID;
  request.fileattr = ATTR_FILE_LINKCOUNT;
  request.forkattr = ATTR_CMNEXT_PRIVATESIZE;
  if (getattrlistat(directoryFd, name, &request, &reply, sizeof reply, FSOPT_NOFOLLOW_ANY | FSOPT_ATTR_CMN_EXTENDED) != 0)
    return std::nullopt;
  if (!(reply.returned.forkattr & ATTR_CMNEXT_PRIVATESIZE) || !(reply.returned.fileattr & ATTR_FILE_LINKCOUNT))
    return std::nullopt;
  FileSpace space{static_cast<int64_t>(reply.privateSize), 0, false};
  if (space.privateBytes == 0) return space;
  space.inode = reply.fileId;
  space.linked = reply.linkCount > 1;
  return space;
}

}  // namespace redomark
