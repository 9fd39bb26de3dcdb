// The messages no run of the tool on Linux shows in full: files only in the
// cloud (named up to three), and every id of an ambiguous prefix. The rest
// are compared byte for byte by the tests of the built tool.
#include "core/records/redomark_error.h"

#include <gtest/gtest.h>

namespace redomark {

TEST(RedomarkError, MessagesAreExact) {
  EXPECT_STREQ(RedomarkError::cloudOnlyFiles(5, {"a", "b", "c", "d", "e"}).what(),
               "5 file(s) exist only in iCloud (for example a, b, c). Saving them would download them. "
               "Download or move them first.");
  EXPECT_STREQ(RedomarkError::cloudOnlyFiles(1, {"a"}).what(),
               "1 file(s) exist only in iCloud (for example a). Saving them would download them. "
               "Download or move them first.");
  EXPECT_STREQ(RedomarkError::ambiguousCheckpoint("2024", {"x1", "x2", "x3", "x4"}).what(),
               "\"2024\" matches several redomarks: x1, x2, x3, x4.");
}

}  // namespace redomark
