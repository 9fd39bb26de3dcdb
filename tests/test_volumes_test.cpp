// The harness must hand every test the volumes it promises; in CI a missing
// volume fails here instead of turning into skipped coverage elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/fs/file_ops.h"
#include "tests/test_volumes.h"

namespace redomark::testing {

TEST(TestVolumes, EveryVolumeIsPresentDistinctAndWritable) {
  const Volume all[] = {Volume::btrfs, Volume::btrfs2, Volume::xfs, Volume::noClone};
  dev_t seen[4] = {};
  std::string kept;
  for (int i = 0; i < 4; ++i) {
    std::string inside;
    {
      ScratchDir scratch(all[i]);
      inside = scratch / "probe";
      writeWholeFile(inside, "x");
      struct stat facts {};
      ASSERT_EQ(stat(inside.c_str(), &facts), 0);
      seen[i] = facts.st_dev;
    }
    EXPECT_FALSE(pathExists(inside, false)) << "scratch folder left behind: " << inside;
  }
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(seen[i], seen[j]) << i << " and " << j << " share a device";
}

}  // namespace redomark::testing
