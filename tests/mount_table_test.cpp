// Reading the kernel's mount table: which line holds a path.
#include <gtest/gtest.h>

#include "core/fs/mount_table.h"

namespace redomark {
namespace {

const char* const table =
    "22 1 252:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "30 22 0:26 / /mnt rw shared:5 master:2 - tmpfs tmpfs rw\n"
    "31 30 0:40 / /mnt/data rw - btrfs /dev/loop0 rw,subvol=/\n"
    "32 30 7:2 / /mnt/data2 rw - xfs /dev/loop2 rw\n"
    "33 30 0:41 /sub /mnt/my\\040disk\\134x rw - btrfs /dev/loop1 rw\n"
    "garbage line without separator\n"
    "34 31 7:3 / /mnt/data rw - xfs /dev/loop3 rw\n"
    "35 30 0:50 / /mnt/tab\\011name rw - fuse.sshfs host:/ rw";

std::string where(std::string_view path) {
  std::optional<MountEntry> m = findMount(table, path);
  return m ? m->mountPoint + " " + m->fsType : "none";
}

TEST(MountTable, LongestContainingMountPointWinsAndTheLastOfEqualOnes) {
  EXPECT_EQ(where("/"), "/ ext4");
  EXPECT_EQ(where("/home/user"), "/ ext4");
  EXPECT_EQ(where("/mnt"), "/mnt tmpfs");
  // Mounted over: the later xfs line hides the btrfs one at the same place.
  EXPECT_EQ(where("/mnt/data"), "/mnt/data xfs");
  EXPECT_EQ(where("/mnt/data/deep/inside"), "/mnt/data xfs");
  // A mount point is a whole component, not a string prefix.
  EXPECT_EQ(where("/mnt/data2/x"), "/mnt/data2 xfs");
  EXPECT_EQ(where("/mnt/datax"), "/mnt tmpfs");
  EXPECT_EQ(where("relative/path"), "none");
  EXPECT_EQ(findMount("", "/x"), std::nullopt);
}

TEST(MountTable, EscapedCharactersInMountPointsAreDecoded) {
  EXPECT_EQ(where("/mnt/my disk\\x/folder"), "/mnt/my disk\\x btrfs");
  EXPECT_EQ(where("/mnt/my\\040disk\\134x"), "/mnt tmpfs");
  EXPECT_EQ(where("/mnt/tab\tname"), "/mnt/tab\tname fuse.sshfs");
}

}  // namespace
}  // namespace redomark
