// The built tool on a terminal: the restore and undo prompts, the progress
// line and Ctrl-C, byte for byte as the terminal receives them.
#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

// Every progress line taken out, for the tests that look only at the rest.
std::string withoutProgress(const std::string& shown) {
  static const std::regex line("\r(Looking at|Saving|Finishing) [0-9]+( of [0-9]+)? items\u2026\x1b\\[K");
  return std::regex_replace(shown, line, "");
}

// Also: undo goes back to before the last restore, and "latest" skips the checkpoints restores take.
TEST_F(CommandLine, RestoreOnATerminalAsksFirstAndOnlyAYesGoesOn) {
  const std::string folder = scratch / "project";
  writeFiles(folder, {{"a", "a"}, {"sub/b", "sub/b"}, {"sub/c", "sub/c"}});
  saved(folder, {"--name", "first"});
  const Listed first = listed(folder).at(0);
  EXPECT_EQ(tool({"undo", folder, "--yes"}), failed(1, "There is nothing to undo for " + folder + "."));
  const TreeSnapshot before = snapshotTree(folder);
  writeFiles(folder, {{"a", "changed"}, {"d", "new"}});
  ASSERT_EQ(unlink((folder + "/sub/b").c_str()), 0);
  const TreeSnapshot edited = snapshotTree(folder);
  const std::string prompt = "Restore " + folder + " to " + line(first, "  \"first\"") +
                             "?\n3 item(s) differ now. The current state is saved first (whole folder) or moved to the "
                             "Trash (single item).\nContinue? [y/N] ";
  EXPECT_EQ(answer({"restore", folder}, "\x03"), (ToolRun{130, prompt, "", true})) << "Ctrl-C at the prompt";
  // "y" with a combining diaeresis is another letter, not a yes.
  for (const std::string typed : {"\n", " y\n", "no\n", "\x04", "y\u0308s\n"})
    EXPECT_EQ(answer({"restore", folder}, typed), (ToolRun{1, prompt + "redomark: not restored\n", ""})) << typed;
  EXPECT_EQ(snapshotTree(folder), edited);

  const ToolRun yes = answer({"restore", folder}, "y\n");
  const std::vector<Listed> now = listed(folder);
  ASSERT_EQ(now.size(), 2u);
  const std::string replaced = home / ".local/share/Trash/files/project (replaced by Redomark)";
  EXPECT_EQ((ToolRun{yes.status, withoutProgress(yes.out), yes.err}),
            ok(prompt + erase + "Restored " + folder + " to " + first.id +
               ".\nThe state before the restore was saved as redomark " + now[1].id +
               ", so you can undo this.\nThe replaced copy is at " + replaced + ".\n"));
  EXPECT_EQ(snapshotTree(folder), before);
  EXPECT_EQ(snapshotTree(replaced), edited);

  writeFile(folder + "/a", "again");
  EXPECT_EQ(tool({"undo", folder, "--yes"}).out.find("Restored " + folder + " to " + now[1].id + ".\n"), 0u);
  EXPECT_EQ(snapshotTree(folder), edited);
  // The undo saved what it replaced, so undoing it again brings that back.
  EXPECT_EQ(tool({"undo", folder, "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/a"), "again");
  EXPECT_EQ(tool({"diff", folder}).out.find("Changes since " + line(first, "  \"first\"") + ":\n"), 0u);
}

TEST_F(CommandLine, ProgressIsRedrawnInPlaceAndCtrlCCancelsOnce) {
  const std::string folder = scratch / "big";
  emptyFiles(folder + "/fill", 4000);
  const auto stored = [&] { return sortedNames(CheckpointStore(defaultStore()).folderDirectory(folder)); };

  const ToolRun save = TerminalProcess({"save", folder}, home.path()).wait();
  static const std::regex drawn(
      "\rLooking at 0 items\u2026\x1b\\[K(\rLooking at [0-9]+ items\u2026\x1b\\[K)*(\rSaving [0-9]+ of 4001 "
      "items\u2026\x1b\\[K)+\rFinishing 4000 of 4001 items\u2026\x1b\\[K\r\x1b\\[KSaved redomark [^\n]+\n" +
      notABackup);
  EXPECT_TRUE(save.status == 0 && std::regex_match(save.out, drawn)) << ::testing::PrintToString(save.out);
  const std::vector<std::string> kept = stored();

  // Twice during a save: one message, no checkpoint and nothing half made.
  TerminalProcess twice({"save", folder}, home.path());
  ASSERT_NE(twice.readUntil("\rSaving "), std::string::npos);
  twice.type("\x03\x03");
  const ToolRun cancelled = twice.wait();
  // Ended by the tool itself, not by the signal, with one message on a clean line.
  EXPECT_EQ((ToolRun{cancelled.status, withoutProgress(cancelled.out), cancelled.err, cancelled.signaled}),
            (ToolRun{130, erase + "redomark: Cancelled.\n", ""}));
  EXPECT_EQ(stored(), kept);
}

}  // namespace
}  // namespace redomark::testing
