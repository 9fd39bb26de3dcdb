// Volume facts on the real test volumes: type, mount point, capabilities,
// free space and the unshared part of cloned files.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "core/fs/file_ops.h"
#include "core/fs/safety_policy.h"
#include "core/fs/volume.h"
#include "core/records/redomark_error.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

constexpr int64_t mebibyte = 1024 * 1024;

// Writes random bytes at offset, creating the file, and flushes them so
// that the extents are settled before they are mapped.
void writeSynced(const std::string& path, off_t offset, size_t count) {
  static std::mt19937 random(7);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, bytes.data(), count, offset), static_cast<ssize_t>(count));
  ASSERT_EQ(fsync(fd), 0);
  close(fd);
}

TEST(VolumeInfo, TypeMountPointAndCapabilitiesOfEachTestVolume) {
  struct {
    Volume volume;
    const char* type;
    bool canClone;
  } const expected[] = {{Volume::btrfs, "btrfs", true}, {Volume::xfs, "xfs", true}, {Volume::noClone, "ext4", false}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.type);
    ScratchDir scratch(e.volume);
    createDirectories(scratch / "a/b/c");
    writeWholeFile(scratch / "a/file", "x");
    for (const std::string& path : {scratch / "a/b/c", scratch / "a/file"}) {
      const VolumeInfo info = readVolumeInfo(path);
      EXPECT_EQ(info.fsType, e.type);
      EXPECT_EQ(info.canClone, e.canClone);
      EXPECT_TRUE(info.canSwap);
      EXPECT_EQ(info.mountPoint, e.volume == Volume::noClone ? "/" : canonicalPath(volumeRoot(e.volume)));
      struct stat facts {};
      ASSERT_EQ(stat(path.c_str(), &facts), 0);
      EXPECT_EQ(info.device, static_cast<int32_t>(facts.st_dev));
    }
  }
  EXPECT_NE(readVolumeInfo(volumeRoot(Volume::btrfs)).device, readVolumeInfo(volumeRoot(Volume::btrfs2)).device);
}

TEST(VolumeInfo, FollowsLinksAndNamesUnreadablePaths) {
  ScratchDir onBtrfs(Volume::btrfs);
  ScratchDir onXfs(Volume::xfs);
  ASSERT_EQ(symlink(onXfs.path().c_str(), (onBtrfs / "to-xfs").c_str()), 0);
  const VolumeInfo info = readVolumeInfo(onBtrfs / "to-xfs");
  EXPECT_EQ(info.fsType, "xfs");
  EXPECT_EQ(info.mountPoint, canonicalPath(volumeRoot(Volume::xfs)));

  writeWholeFile(onBtrfs / "plain", "x");
  for (const auto& [path, reason] : {std::pair{onBtrfs / "missing", "No such file or directory"},
                                     std::pair{onBtrfs / "plain/below", "Not a directory"}}) {
    try {
      readVolumeInfo(path);
      ADD_FAILURE() << path;
    } catch (const RedomarkError& e) {
      EXPECT_EQ(e, RedomarkError::io("Couldn't read " + path + ": " + reason));
    }
  }
}

// On a private tmpfs of a known size no other test can move the figures.
TEST(VolumeInfo, AvailableSpaceShrinksAsFilesAreWritten) {
  ScratchDir scratch(Volume::noClone);
  const std::string disk = scratch / "disk";
  createDirectories(disk);
  ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16m"), 0) << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  EXPECT_EQ(availableSpace(disk), 16 * mebibyte);
  writeSynced(disk + "/file", 0, 3 * mebibyte);
  EXPECT_EQ(availableSpace(disk), 13 * mebibyte);
  EXPECT_EQ(availableSpace(disk + "/missing"), 0);
}

TEST(PrivateSize, CloneSharesEverythingUntilItsSourceIsRewritten) {
  for (Volume volume : {Volume::btrfs, Volume::xfs}) {
    ScratchDir scratch(volume);
    SCOPED_TRACE(scratch.path());
    const std::string source = scratch / "source", clone = scratch / "clone";
    writeSynced(source, 0, mebibyte);
    EXPECT_EQ(privateSize(source), mebibyte);

    const int in = open(source.c_str(), O_RDONLY), out = open(clone.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ioctl(out, FICLONE, in), 0) << strerror(errno);
    ASSERT_EQ(fsync(out), 0);
    close(in);
    close(out);
    EXPECT_EQ(privateSize(clone), 0);
    EXPECT_EQ(privateSize(source), 0);

    writeSynced(source, 256 * 1024, 64 * 1024);
    EXPECT_EQ(privateSize(source), 64 * 1024);
  }
  ScratchDir scratch(Volume::btrfs);
  writeWholeFile(scratch / "empty", "");
  EXPECT_EQ(privateSize(scratch / "missing"), std::nullopt);
  ASSERT_EQ(symlink("empty", (scratch / "link").c_str()), 0);
  EXPECT_EQ(privateSize(scratch / "link"), std::nullopt);
}

}  // namespace
}  // namespace redomark::testing
