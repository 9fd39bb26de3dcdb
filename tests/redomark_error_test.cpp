#include "core/records/redomark_error.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace redomark {

TEST(RedomarkError, MessagesAreExact) {
  EXPECT_STREQ(RedomarkError::cloudOnlyFiles(5, {"a", "b", "c", "d", "e"}).what(),
               "5 file(s) exist only in iCloud (for example a, b, c). Saving them would download them. "
               "Download or move them first.");
  EXPECT_STREQ(RedomarkError::cloudOnlyFiles(1, {"a"}).what(),
               "1 file(s) exist only in iCloud (for example a). Saving them would download them. "
               "Download or move them first.");
  EXPECT_STREQ(RedomarkError::notEnoughSpace(67110912, -1).what(),
               "Not enough free space: about 67110912 bytes needed, -1 available.");
  EXPECT_STREQ(RedomarkError::ambiguousCheckpoint("2024", {"x1", "x2", "x3", "x4"}).what(),
               "\"2024\" matches several redomarks: x1, x2, x3, x4.");
  EXPECT_STREQ(RedomarkError::copyFailed("/a/b", EACCES).what(),
               "Redomark isn't allowed to read /a/b. Check its permissions, then try again.");
  EXPECT_STREQ(RedomarkError::copyFailed("/a/b", ENOSPC).what(),
               "Couldn't copy /a/b: No space left on device.");
  EXPECT_STREQ(RedomarkError::io("as is").what(), "as is");
  EXPECT_STREQ(RedomarkError::cancelled().what(), "Cancelled.");
}

}  // namespace redomark
