// Volume facts on the real test volumes: type, mount point, capabilities,
// free space and the unshared part of cloned files.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "core/fs/file_ops.h"
#include "core/fs/volume.h"
#include "core/records/redomark_error.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

constexpr int64_t mebibyte = 1024 * 1024;

std::string realPath(const std::string& path) {
  char* out = realpath(path.c_str(), nullptr);
  if (!out) throw std::runtime_error("realpath " + path);
  std::string result = out;
  std::free(out);
  return result;
}

std::string randomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

void syncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(fsync(fd), 0) << path;
  close(fd);
}

void cloneFile(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY);
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  ASSERT_EQ(ioctl(out, FICLONE, in), 0) << strerror(errno);
  close(in);
  close(out);
}

void overwrite(const std::string& path, off_t at, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(fsync(fd), 0);
  close(fd);
}

std::string ioText(const std::string& path) {
  try {
    readVolumeInfo(path);
  } catch (const RedomarkError& e) {
    EXPECT_EQ(e.errorCase(), RedomarkError::Case::io);
    return e.what();
  }
  return "no error";
}

TEST(VolumeInfo, TypeMountPointAndCapabilitiesOfEachTestVolume) {
  struct Expected {
    Volume volume;
    const char* type;
    bool canClone;
  } const expected[] = {{Volume::btrfs, "btrfs", true}, {Volume::xfs, "xfs", true}, {Volume::noClone, "ext4", false}};
  for (const Expected& e : expected) {
    ScratchDir scratch(e.volume);
    const std::string deep = scratch / "a/b/c";
    createDirectories(deep);
    const VolumeInfo info = readVolumeInfo(deep);
    SCOPED_TRACE(e.type);
    EXPECT_EQ(info.fsType, e.type);
    EXPECT_EQ(info.canClone, e.canClone);
    EXPECT_TRUE(info.canSwap);
    EXPECT_EQ(info.mountPoint, e.volume == Volume::noClone ? "/" : realPath(volumeRoot(e.volume)));
    struct stat facts {};
    ASSERT_EQ(stat(deep.c_str(), &facts), 0);
    EXPECT_EQ(info.device, static_cast<int32_t>(facts.st_dev));
    // A regular file answers like the folder that holds it.
    writeWholeFile(scratch / "a/file", "x");
    const VolumeInfo ofFile = readVolumeInfo(scratch / "a/file");
    EXPECT_EQ(ofFile.fsType, info.fsType);
    EXPECT_EQ(ofFile.canClone, info.canClone);
  }
  EXPECT_NE(readVolumeInfo(volumeRoot(Volume::btrfs)).device, readVolumeInfo(volumeRoot(Volume::btrfs2)).device);
}

TEST(VolumeInfo, FollowsLinksAndNamesMissingPaths) {
  ScratchDir onBtrfs(Volume::btrfs);
  ScratchDir onXfs(Volume::xfs);
  const std::string link = onBtrfs / "to-xfs";
  ASSERT_EQ(symlink(onXfs.path().c_str(), link.c_str()), 0);
  const VolumeInfo info = readVolumeInfo(link);
  EXPECT_EQ(info.fsType, "xfs");
  EXPECT_EQ(info.mountPoint, realPath(volumeRoot(Volume::xfs)));

  EXPECT_EQ(ioText(onBtrfs / "missing"), "Couldn't read " + onBtrfs / "missing" + ": No such file or directory");
  writeWholeFile(onBtrfs / "plain", "x");
  EXPECT_EQ(ioText(onBtrfs / "plain/below"), "Couldn't read " + onBtrfs / "plain/below" + ": Not a directory");
}

// A bind mount whose mount point has a space in its name: the kernel escapes
// it in its table, and the deeper mount must win over the volume's own.
TEST(VolumeInfo, BindMountWithSpaceInItsNameIsItsOwnMountPoint) {
  ScratchDir source(Volume::btrfs);
  ScratchDir host(Volume::xfs);
  const std::string target = host / "with space\\and slash";
  createDirectories(target);
  ASSERT_EQ(mount(source.path().c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{target};
  createDirectories(target + "/inner");
  const VolumeInfo info = readVolumeInfo(target + "/inner");
  EXPECT_EQ(info.mountPoint, realPath(target));
  EXPECT_EQ(info.fsType, "btrfs");
  EXPECT_TRUE(info.canClone);
}

TEST(VolumeInfo, AvailableSpaceShrinksAsFilesAreWritten) {
  ScratchDir scratch(Volume::xfs);
  const int64_t before = availableSpace(scratch.path());
  ASSERT_GT(before, 64 * mebibyte);
  writeWholeFile(scratch / "big", randomBytes(32 * mebibyte, 1));
  syncFile(scratch / "big");
  const int64_t after = availableSpace(scratch.path());
  EXPECT_GE(before - after, 31 * mebibyte);
  EXPECT_LE(before - after, 34 * mebibyte);
  EXPECT_EQ(availableSpace(scratch / "missing"), 0);
}

TEST(PrivateSize, CloneSharesEverythingUntilItsSourceIsRewritten) {
  for (Volume volume : {Volume::btrfs, Volume::xfs}) {
    ScratchDir scratch(volume);
    SCOPED_TRACE(scratch.path());
    const std::string source = scratch / "source", clone = scratch / "clone";
    writeWholeFile(source, randomBytes(mebibyte, 2));
    syncFile(source);
    EXPECT_EQ(privateSize(source), mebibyte);

    cloneFile(source, clone);
    syncFile(clone);
    EXPECT_EQ(privateSize(clone), 0);
    EXPECT_EQ(privateSize(source), 0);

    overwrite(source, 256 * 1024, randomBytes(64 * 1024, 3));
    EXPECT_EQ(privateSize(source), 64 * 1024);
  }
}

TEST(PrivateSize, NothingForWhatCannotBeMapped) {
  ScratchDir scratch(Volume::btrfs);
  writeWholeFile(scratch / "empty", "");
  EXPECT_EQ(privateSize(scratch / "empty"), 0);
  EXPECT_EQ(privateSize(scratch / "missing"), std::nullopt);
  ASSERT_EQ(symlink("empty", (scratch / "link").c_str()), 0);
  EXPECT_EQ(privateSize(scratch / "link"), std::nullopt);
}

}  // namespace
}  // namespace redomark::testing
