// Links followed to the volume they lead to; type, mount point, cloning and
// free space are checked end to end by the command-line and disk-full tests.
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/fs/typed_path.h"
#include "core/fs/volume.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

TEST(VolumeInfo, FollowsLinksToTheirVolume) {
  ScratchDir onBtrfs(Volume::btrfs), onXfs(Volume::xfs);
  ASSERT_EQ(symlink(onXfs.path().c_str(), (onBtrfs / "to-xfs").c_str()), 0);
  const VolumeInfo info = readVolumeInfo(onBtrfs / "to-xfs");
  EXPECT_EQ(info.fsType + " " + info.mountPoint, "xfs " + canonicalPath(volumeRoot(Volume::xfs)));
}

}  // namespace
}  // namespace redomark::testing
