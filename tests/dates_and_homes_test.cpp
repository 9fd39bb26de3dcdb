// Small promises of the command line: any recorded date is shown the same way
// by list and list --json, and "~name" means that user's home.
#include <gtest/gtest.h>

#include <string>

#include "core/operations/redomark.h"
#include "tests/command_line_fixture.h"
#include "tests/path_helpers.h"

namespace redomark::testing {
namespace {

TEST_F(CommandLine, DatesBeyondTheCalendarAreShownAtItsEdgeByBothListings) {
  const std::string folder = scratch.path();
  writeFile(folder + "/f", "f");
  ASSERT_EQ(tool({"save", folder}).status, 0);
  const std::string id = listed(folder).at(0).id;
  const std::string meta = Redomark(defaultStore()).storeFor(folder).folderDirectory(folder) + "/" + id + "/meta.json";
  const std::string record = readWholeFile(meta).value();
  const size_t at = record.find("\"createdAt\" : ") + 14;
  const size_t end = record.find(',', at);

  for (const auto& [written, iso] : {std::pair{"1e15", "9999-12-31T23:59:59Z"}, {"1e300", "9999-12-31T23:59:59Z"},
                                     {"-1e300", "0001-01-01T00:00:00Z"}}) {
    SCOPED_TRACE(written);
    std::string edited = record;
    edited.replace(at, end - at, written);
    ASSERT_EQ(std::remove(meta.c_str()), 0);
    writeWholeFile(meta, edited);
    EXPECT_EQ(listed(folder).at(0).createdAt, iso);
    EXPECT_EQ(tool({"list", folder}).out, line(Listed{id, iso}) + "  1 files\n");
  }
}

TEST_F(CommandLine, ATildeWithANameIsThatUsersHome) {
  EXPECT_EQ(tool({"list", "~root/redomark-no-such-folder"}).out,
            "No saved redomarks for /root/redomark-no-such-folder (the folder doesn't exist either).\n");
  EXPECT_EQ(tool({"list", "~redomark-no-such-user/x"}).status, 0);
}

}  // namespace
}  // namespace redomark::testing
