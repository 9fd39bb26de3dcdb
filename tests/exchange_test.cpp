#include "core/fs/exchange.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "core/fs/file_ops.h"
#include "tests/test_volumes.h"

namespace redomark::testing {

TEST(ExchangeEntries, SwapsTwoDirectoriesOrReportsTheErrno) {
  for (Volume volume : {Volume::btrfs, Volume::xfs}) {
    SCOPED_TRACE(volumeRoot(volume));
    ScratchDir scratch(volume);
    createDirectories(scratch / "a/sub");
    createDirectories(scratch / "b");
    writeWholeFile(scratch / "a/sub/one", "first");
    writeWholeFile(scratch / "b/two", "second");

    ASSERT_EQ(exchangeEntries(scratch / "a", scratch / "b"), 0);
    EXPECT_EQ(readWholeFile(scratch / "b/sub/one"), "first");
    EXPECT_EQ(listNames(scratch / "a"), std::vector<std::string>{"two"});
    EXPECT_EQ(listNames(scratch / "b"), std::vector<std::string>{"sub"});

    // A missing partner moves nothing.
    EXPECT_EQ(exchangeEntries(scratch / "a", scratch / "gone"), ENOENT);
    EXPECT_EQ(readWholeFile(scratch / "a/two"), "second");
    EXPECT_FALSE(pathExists(scratch / "gone", false));
  }
}

}  // namespace redomark::testing
