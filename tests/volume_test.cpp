// Volume facts on the real test volumes that the tool's own runs do not pin
// down: links followed to the volume they lead to, and the free and private
// space of what is not there or is a link. Type, mount point, cloning,
// exchange and free space are checked end to end by the command-line and
// disk-full tests, the unshared part of clones by list --space.
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/fs/safety_policy.h"
#include "core/fs/typed_path.h"
#include "core/fs/volume.h"
#include "tests/engine_test_support.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

TEST(VolumeInfo, FollowsLinksToTheirVolumeAndHasNoSpaceForWhatIsMissing) {
  ScratchDir onBtrfs(Volume::btrfs);
  ScratchDir onXfs(Volume::xfs);
  ASSERT_EQ(symlink(onXfs.path().c_str(), (onBtrfs / "to-xfs").c_str()), 0);
  const VolumeInfo info = readVolumeInfo(onBtrfs / "to-xfs");
  EXPECT_EQ(info.fsType, "xfs");
  EXPECT_EQ(info.mountPoint, canonicalPath(volumeRoot(Volume::xfs)));

  writeFile(onBtrfs / "file", std::string(64 * 1024, 'x'));
  ASSERT_EQ(symlink("file", (onBtrfs / "link").c_str()), 0);
  EXPECT_EQ(privateSize(onBtrfs / "missing"), std::nullopt);
  EXPECT_EQ(privateSize(onBtrfs / "link"), std::nullopt);
}

}  // namespace
}  // namespace redomark::testing
