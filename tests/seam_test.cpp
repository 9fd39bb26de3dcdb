// Where the seam's link-free opening lands, case by case, from the menu of
// the kernel's own openat2 tests: links to "/", ".." chains, relative and
// absolute links, a magic link, a mount point, a path longer than the kernel
// takes at once. CTest runs it once more with openat2 made to fail (ENOSYS,
// strace's fault injection): every case must land in the same place.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>

#include "core/fs/directory_handle.h"
#include "core/fs/path_text.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

using Identity = std::pair<uint64_t, uint64_t>;  // device, inode; {0, 0} for a refusal

Identity identityOf(const FsResult<ItemStatus>& facts) {
  return facts ? Identity{facts->device, facts->inode} : Identity{0, 0};
}

Identity identityOf(const std::string& path) {
  const struct stat st = statusOf(path);
  return {st.st_dev, st.st_ino};
}

TEST(Seam, EveryPathLandsWhereItShouldWithOrWithoutOpenat2) {
  if (std::getenv("REDOMARK_WITHOUT_OPENAT2")) {
    open_how how{.flags = O_PATH, .mode = 0, .resolve = 0};
    ASSERT_EQ(syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how), -1) << "openat2 still works: nothing injected";
    ASSERT_EQ(errno, ENOSYS);
  }
  ScratchDir scratch(Volume::btrfs);
  const std::string r = scratch.path();
  createDirectories(r + "/dir/sub");
  writeFile(r + "/file", "x");
  ASSERT_EQ(symlink("dir", (r + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("/", (r + "/dir/root").c_str()), 0);
  ASSERT_EQ(symlink("..", (r + "/dir/up").c_str()), 0);
  // 40 levels of 120-byte names: more than PATH_MAX, so made one level at a time.
  std::string deep;
  DirectoryHandle deepest = DirectoryHandle::open(r).value();
  for (int level = 0; level < 40; ++level) {
    const std::string name(120, static_cast<char>('a' + level % 26));
    deep += (level ? "/" : "") + name;
    ASSERT_TRUE(deepest.makeDirectoryIfMissing(name, 0755));
    deepest = deepest.child(name).value();
  }
  const std::string mountPoint = volumeRoot(Volume::xfs);
  const Identity refused{0, 0};
  const std::string process = "/proc/" + std::to_string(getpid());
  struct Case {
    const char* how;  // "open" an absolute path, "descend" below from, "examine" an absolute path
    std::string from, path;
    Identity landsOn;
    int error;
  };
  const std::vector<Case> cases{
      {"open", "", r + "/dir/sub", identityOf(r + "/dir/sub"), 0},
      {"open", "", r + "/dir/../dir/sub", identityOf(r + "/dir/sub"), 0},
      {"open", "", r + "/dirlink/sub", refused, ELOOP},
      {"open", "", r + "/dirlink", refused, ENOTDIR},
      {"open", "", r + "/dir/root/", refused, ELOOP},
      {"open", "", r + "/file", refused, ENOTDIR},
      {"open", "", r + "/missing", refused, ENOENT},
      {"open", "", "/proc/self/cwd", refused, ELOOP},
      {"open", "", mountPoint, identityOf(mountPoint), 0},
      {"descend", r, "dir/sub", identityOf(r + "/dir/sub"), 0},
      {"descend", r, "", identityOf(r), 0},
      {"descend", r, deep, identityOf(deepest.ownStatus()), 0},
      {"descend", r, "dir/up/dir", refused, ELOOP},
      {"descend", r, "dir/root/etc", refused, ELOOP},
      {"descend", r, "dir/..", refused, EXDEV},
      {"descend", r, "../" + lastComponent(r), refused, EXDEV},
      {"descend", parentPath(mountPoint), lastComponent(mountPoint), refused, EXDEV},
      {"examine", "", r + "/dirlink", identityOf(r + "/dirlink"), 0},
      {"examine", "", r + "/dir/up/sub", refused, ELOOP},
      {"examine", "", process + "/cwd", identityOf(process + "/cwd"), 0},
      {"open", "", process + "/cwd", refused, ENOTDIR},
      {"open", "", process + "/root/etc", refused, ELOOP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.how) + " " + c.from + " " + c.path.substr(0, 200));
    FsResult<ItemStatus> facts = FsError(0, FsOperation::open, "");
    if (c.how == std::string("examine")) {
      facts = examine(c.path);
    } else {
      FsResult<DirectoryHandle> opened =
          c.how == std::string("open") ? DirectoryHandle::open(c.path) : DirectoryHandle::open(c.from)->descend(c.path);
      facts = opened ? FsResult<ItemStatus>(opened->ownStatus()) : FsResult<ItemStatus>(opened.error());
    }
    EXPECT_EQ(identityOf(facts), c.landsOn);
    EXPECT_EQ(facts ? 0 : facts.error().code(), c.error);
  }
}

}  // namespace
}  // namespace redomark::testing
