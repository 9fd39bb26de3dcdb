// The tree copy on real volumes: clones with every piece of metadata on the
// copy-on-write ones, plain copies elsewhere, and nothing left behind after a
// failure or a cancel.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/fs/clone_engine.h"
#include "core/fs/volume.h"
#include "core/records/redomark_error.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

int64_t ns(const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

void setTimes(const std::string& path, timespec atime, timespec mtime) {
  const timespec times[2] = {atime, mtime};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string attribute(const std::string& path, const char* name) {
  char value[256];
  const ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? std::string("none: ") + std::strerror(errno) : std::string(value, static_cast<size_t>(n));
}

// An access ACL granting user 65534 read and write, in the kernel's format.
std::string aclGrantingNobody() {
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const uint32_t header = 2;
  const Entry entries[] = {{0x01, 6, ~0u}, {0x02, 6, 65534}, {0x04, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
  std::string out(reinterpret_cast<const char*>(&header), sizeof header);
  out.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return out;
}

const timespec fileAtime{1600000000, 111111111}, fileMtime{1600000100, 222222222};
const timespec dirMtime{1500000000, 333333333}, linkMtime{1400000000, 444444444};

// A tree of four regular files (two large enough to have extents of their
// own), nested and empty folders and a relative link, with metadata set.
void buildTree(const std::string& root) {
  createDirectories(root + "/docs/deep");
  createDirectories(root + "/empty");
  writeFile(root + "/small.txt", "hello\n");
  writeFile(root + "/docs/big.bin", uniqueBytes(3 << 20, 1));
  writeFile(root + "/docs/deep/mid.bin", uniqueBytes(200 * 1024 + 7, 2));
  writeFile(root + "/docs/deep/empty.txt", "");
  ASSERT_EQ(symlink("deep/mid.bin", (root + "/docs/link").c_str()), 0);

  ASSERT_EQ(chmod((root + "/small.txt").c_str(), 04751), 0);
  ASSERT_EQ(chmod((root + "/docs").c_str(), 0750), 0);
  // Bits a usual umask strips from a new file.
  ASSERT_EQ(chmod((root + "/docs/deep/empty.txt").c_str(), 0666), 0);
  ASSERT_EQ(chown((root + "/small.txt").c_str(), 65534, 65534), 0);
  ASSERT_EQ(lchown((root + "/docs/link").c_str(), 65534, 65534), 0);
  ASSERT_EQ(setxattr((root + "/docs/big.bin").c_str(), "user.colour", "teal", 4, 0), 0);
  ASSERT_EQ(setxattr((root + "/docs").c_str(), "user.kind", "folder", 6, 0), 0);
  const std::string acl = aclGrantingNobody();
  ASSERT_EQ(setxattr((root + "/docs/deep/mid.bin").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);

  setTimes(root + "/docs/big.bin", fileAtime, fileMtime);
  setTimes(root + "/docs/link", fileAtime, linkMtime);
  setTimes(root + "/docs/deep", fileAtime, dirMtime);
  setTimes(root + "/docs", fileAtime, dirMtime);
}

const char* const treeFiles[] = {"small.txt", "docs/big.bin", "docs/deep/mid.bin", "docs/deep/empty.txt"};

void expectSameTree(const std::string& source, const std::string& copy) {
  for (const char* item : {"", "/small.txt", "/docs", "/docs/deep", "/docs/link", "/empty", "/docs/deep/mid.bin",
                           "/docs/deep/empty.txt", "/docs/big.bin"}) {
    const struct stat a = statusOf(source + item), b = statusOf(copy + item);
    EXPECT_EQ(std::make_tuple(b.st_mode, b.st_uid, b.st_gid, ns(b.st_mtim)),
              std::make_tuple(a.st_mode, a.st_uid, a.st_gid, ns(a.st_mtim))) << item;
  }
  EXPECT_EQ(ns(statusOf(copy + "/docs/big.bin").st_atim), ns(fileAtime));
  EXPECT_EQ(ns(statusOf(copy + "/docs/link").st_mtim), ns(linkMtime));
  EXPECT_EQ(statusOf(copy + "/docs/link").st_uid, 65534u);
  char target[64] = {};
  EXPECT_EQ(readlink((copy + "/docs/link").c_str(), target, sizeof target - 1), 12);
  EXPECT_STREQ(target, "deep/mid.bin");
  EXPECT_EQ(attribute(copy + "/docs/big.bin", "user.colour"), "teal");
  EXPECT_EQ(attribute(copy + "/docs", "user.kind"), "folder");
  EXPECT_EQ(attribute(copy + "/docs/deep/mid.bin", "system.posix_acl_access"), aclGrantingNobody());
  // Last: reading the copies moves their access times.
  for (const char* file : treeFiles) EXPECT_EQ(readFile(copy + "/" + file), readFile(source + "/" + file)) << file;
}

// Clones on the copy-on-write volumes, plain copies on ext4, with every piece of metadata.
TEST(CloneTree, CopiesEveryFileWithItsMetadataClonedWhereTheVolumeCan) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs, Volume::noClone}) {
    const bool clones = volume != Volume::noClone;
    SCOPED_TRACE(volume == Volume::btrfs ? "btrfs" : volume == Volume::xfs ? "xfs" : "ext4");
    ScratchDir scratch(volume);
    buildTree(scratch / "src");
    std::vector<OperationProgress> reports;
    OperationControl control([&](const OperationProgress& p) { reports.push_back(p); });

    const CloneContext result = cloneTree(scratch / "src", scratch / "copy", 99, &control);
    EXPECT_EQ(result.files, 4);
    EXPECT_EQ(result.cloned, clones ? 4 : 0);
    expectSameTree(scratch / "src", scratch / "copy");
    // Clones share every block with their source; copies own theirs.
    for (const char* file : {"copy/docs/big.bin", "copy/docs/deep/mid.bin", "src/docs/big.bin"}) {
      const std::optional<int64_t> own = privateSize(scratch / file);
      EXPECT_TRUE(clones ? own == 0 : own.value_or(0) > 0) << file << " " << own.value_or(-1);
    }
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front(), (OperationProgress{OperationProgress::Phase::copying, 1, 99}));
  }
}

RedomarkError cloneError(const std::string& source, const std::string& destination, OperationControl* control) {
  return errorOf([&] { cloneTree(source, destination, std::nullopt, control); });
}

TEST(CloneTree, AFailureOrACancelStopsTheCopyAndLeavesNothingBehind) {
  ScratchDir scratch(Volume::btrfs);
  buildTree(scratch / "src");
  for (int i = 0; i < 50; ++i) writeFile(scratch / ("src/f" + std::to_string(i)), uniqueBytes(100, i));
  const int descriptors = openDescriptors();
  std::vector<int64_t> seen;
  OperationControl* self = nullptr;
  OperationControl control([&](const OperationProgress& p) {
    seen.push_back(p.filesDone);
    self->cancel();
  });
  self = &control;
  EXPECT_EQ(cloneError(scratch / "src", scratch / "copy", &control), RedomarkError::cancelled());
  EXPECT_EQ(seen, std::vector<int64_t>{1});
  EXPECT_FALSE(pathExists(scratch / "copy", false));
  // Cancelled before it starts, the copy creates nothing.
  EXPECT_EQ(cloneError(scratch / "src", scratch / "copy", &control), RedomarkError::cancelled());
  EXPECT_FALSE(pathExists(scratch / "copy", false));

  ASSERT_EQ(mkfifo((scratch / "src/docs/deep/pipe").c_str(), 0644), 0);
  EXPECT_EQ(cloneError(scratch / "src", scratch / "copy", nullptr),
            RedomarkError::copyFailed(scratch / "src/docs/deep/pipe", ENOTSUP));
  EXPECT_FALSE(pathExists(scratch / "copy", false));
  // An existing destination is refused and kept as it was.
  writeFile(scratch / "taken", "mine");
  EXPECT_EQ(cloneError(scratch / "src", scratch / "taken", nullptr).errorCase(), RedomarkError::Case::copyFailed);
  EXPECT_EQ(readFile(scratch / "taken"), "mine");
  EXPECT_EQ(cloneError(scratch / "missing", scratch / "copy", nullptr),
            RedomarkError::copyFailed(scratch / "missing", ENOENT));
  EXPECT_FALSE(pathExists(scratch / "copy", false));
  EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
}  // namespace redomark::testing
