// Text reports never pass a name's control characters or invalid bytes to the
// terminal, while --json keeps the exact text.
#include <gtest/gtest.h>

#include <string>

#include "redomark/shown_text.h"
#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

TEST(Shown, EscapesControlCharactersAndInvalidBytesOnly) {
  EXPECT_EQ(shown("caf\u00e9 \u4e2d \U0001F600 ok"), "caf\u00e9 \u4e2d \U0001F600 ok");
  EXPECT_EQ(shown(std::string("a\0b\x1b[2J\x7f", 8)), "a\\x00b\\x1b[2J\\x7f");
  EXPECT_EQ(shown("\u0085 \u009f \u00a0"), "\\xc2\\x85 \\xc2\\x9f \u00a0");
  // Each byte of a broken sequence, and a lone continuation byte, on its own.
  EXPECT_EQ(shown("\xff x \xe2\x82 \x80"), "\\xff x \\xe2\\x82 \\x80");
  EXPECT_EQ(shown("\xed\xa0\x80"), "\\xed\\xa0\\x80") << "an encoded surrogate is not valid UTF-8";
}

TEST_F(CommandLine, NamesCannotMoveTheCursorOrFakeALine) {
  const std::string folder = scratch.path();
  writeFile(folder + "/plain", "p");
  ASSERT_EQ(tool({"save", folder, "--name", "week\x1b]0;owned\x07"}).status, 0);
  const Listed saved = listed(folder).at(0);
  const std::string forged = "x\nChanges since yesterday:\n  none";
  writeFile(folder + "/" + forged, "f");
  writeFile(folder + "/\x1b[2Jclear", "c");

  const std::string header = "Changes since " + line(saved, "  \"week\\x1b]0;owned\\x07\"") + ":\n";
  EXPECT_EQ(tool({"diff", folder}),
            (ToolRun{0, header + "  + \\x1b[2Jclear  (1 byte)\n  + x\\x0aChanges since yesterday:\\x0a  none  (1 byte)\n", ""}));
  EXPECT_NE(tool({"diff", folder, "--json"}).out.find("x\\nChanges since yesterday:\\n  none"), std::string::npos);
  EXPECT_EQ(tool({"list", folder}).out, line(saved, "  \"week\\x1b]0;owned\\x07\"") + "  1 files\n");
  EXPECT_EQ(tool({"restore", folder, "--file", "gone\x1b[A", "--yes"}),
            failed(1, "\"gone\\x1b[A\" is not in that redomark."));
}

}  // namespace
}  // namespace redomark::testing
