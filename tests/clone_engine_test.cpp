// The tree copy on real volumes: clones with every piece of metadata on the
// copy-on-write ones, plain copies elsewhere, and nothing left behind after a
// failure or a cancel.
#include <sys/xattr.h>

#include "core/fs/volume.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

// A tree of four regular files (two large enough to have extents of their
// own, one with a second name in another folder), nested and empty folders
// and a relative link, with metadata set.
void buildTree(const std::string& root) {
  writeFiles(root, {{"small.txt", "hello\n"},
                    {"docs/big.bin", uniqueBytes(3 << 20, 1)},
                    {"docs/deep/mid.bin", uniqueBytes(200 * 1024 + 7, 2)},
                    {"docs/deep/empty.txt", ""}});
  createDirectories(root + "/empty");
  hardLink(root + "/docs/deep/mid.bin", root + "/again.bin");
  ASSERT_EQ(symlink("deep/mid.bin", (root + "/docs/link").c_str()), 0);
  // 0666: bits a usual umask strips from a new file.
  for (const auto& [path, mode] : {std::pair{"/small.txt", 04751}, {"/docs", 0750}, {"/docs/deep/empty.txt", 0666}})
    ASSERT_EQ(chmod((root + path).c_str(), mode), 0);
  ASSERT_EQ(chown((root + "/small.txt").c_str(), 65534, 65534) | lchown((root + "/docs/link").c_str(), 65534, 65534),
            0);
  for (const auto& [path, name, value] :
       {std::tuple{"/docs/big.bin", "user.colour", "teal"}, {"/docs", "user.kind", "folder"}})
    ASSERT_EQ(setxattr((root + path).c_str(), name, value, std::strlen(value), 0), 0);
  ASSERT_EQ(std::system(("setfacl -m u:65534:rw " + root + "/docs/deep/mid.bin").c_str()), 0);
  for (const auto& [path, mtime] : {std::pair{"/docs/big.bin", timespec{1600000100, 222222222}},
                                    {"/docs/link", timespec{1400000000, 444444444}},
                                    {"/docs/deep", timespec{1500000000, 333333333}},
                                    {"/docs", timespec{1500000000, 3}}}) {
    const timespec times[2] = {{0, UTIME_OMIT}, mtime};
    ASSERT_EQ(utimensat(AT_FDCWD, (root + path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
}

// Everything a snapshot leaves out: owners and extended attributes (an ACL among them).
std::map<std::string, std::string> ownersAndAttributes(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& [path, line] : snapshotTree(root)) {
    const struct stat st = statusOf(root + "/" + path);
    out[path] = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    for (const char* name : {"user.colour", "user.kind", "system.posix_acl_access"}) {
      char value[256];
      const ssize_t n = lgetxattr((root + "/" + path).c_str(), name, value, sizeof value);
      out[path] += n < 0 ? std::string(" none: ") + std::strerror(errno) : " " + std::string(value, size_t(n));
    }
  }
  return out;
}

// A total this large has the tree's folders copied on several threads, where the volume gains from them.
const std::vector<std::optional<int64_t>> oneThreadAndSeveral = {std::nullopt, 1000000};

// Clones on the copy-on-write volumes, plain copies on ext4, with every piece of metadata.
TEST(CloneTree, CopiesEveryFileWithItsMetadataClonedWhereTheVolumeCan) {
  for (const Volume volume : {Volume::btrfs, Volume::xfs, Volume::noClone}) {
    for (const std::optional<int64_t> total : oneThreadAndSeveral) {
      const bool clones = volume != Volume::noClone;
      SCOPED_TRACE(std::string(volume == Volume::btrfs ? "btrfs"
                               : volume == Volume::xfs ? "xfs"
                                                       : "ext4") +
                   (total ? ", several threads" : ""));
      ScratchDir scratch(volume);
      buildTree(scratch / "src");
      // Its progress is the terminal test's.
      const CloneContext result = cloneTree(scratch / "src", scratch / "copy", total, nullptr);
      EXPECT_EQ(std::pair(result.files, result.cloned), std::pair(int64_t{5}, int64_t{clones ? 5 : 0}));
      EXPECT_EQ(ownersAndAttributes(scratch / "copy"), ownersAndAttributes(scratch / "src"));
      // Kinds, modes, sizes, times, bytes and link targets.
      EXPECT_EQ(snapshotTree(scratch / "copy"), snapshotTree(scratch / "src"));
      EXPECT_EQ(statusOf(scratch / "copy/again.bin").st_ino, statusOf(scratch / "copy/docs/deep/mid.bin").st_ino);
    }
  }
}

// A cancel is the terminal's and the crash tests' (Ctrl-C), through the tool.
TEST(CloneTree, AFailureStopsTheCopyLeavesNothingBehindAndReplacesNothing) {
  ScratchDir scratch(Volume::xfs);
  const std::string source = scratch / "src", copy = scratch / "copy";
  buildTree(source);
  ASSERT_EQ(mkfifo((source + "/docs/deep/pipe").c_str(), 0644), 0);
  writeFile(scratch / "taken", "mine");
  const auto error = [](const std::string& from, const std::string& to, std::optional<int64_t> total = {}) {
    return errorOf([&] { cloneTree(from, to, total, nullptr); });
  };
  const int descriptors = openDescriptors();
  for (const std::optional<int64_t> total : oneThreadAndSeveral) {
    EXPECT_EQ(error(source, copy, total), RedomarkError::copyFailed(source + "/docs/deep/pipe", ENOTSUP));
    EXPECT_FALSE(pathExists(copy, false));
  }
  for (const char* from : {"src/docs", "src/small.txt"}) {
    EXPECT_EQ(error(scratch / from, scratch / "taken").errorCase(), RedomarkError::Case::copyFailed) << from;
    EXPECT_EQ(readFile(scratch / "taken"), "mine") << from;
  }
  EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
}  // namespace redomark::testing
