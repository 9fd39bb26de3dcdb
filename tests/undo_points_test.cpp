// Undo points the built tool takes without a save typed for each: save
// --if-changed and --auto with the timeline's thinning, and run around a command.

#include <csignal>

#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

using Values = std::vector<std::vector<std::string>>;

TEST_F(CommandLine, SaveIfChangedAndAutoSaveOnlyChangesAndThinAutomaticOnes) {
  const std::string folder = scratch / "notes";
  writeFiles(folder, {{"a", "one"}});
  const std::string first = saved(folder, {"--if-changed"});
  const ToolRun unchanged = ok("No changes since redomark " + first + "; nothing saved.\n");
  expectRuns({{{"save", folder, "--if-changed"}, unchanged}, {{"save", folder, "--auto", "--name", "x"}, unchanged}});
  const std::string same = tool({"save", folder, "--auto", "--json"}).out;
  EXPECT_EQ((Values{members(same, "id"), members(same, "saved"), members(same, "kind")}),
            (Values{{first}, {"false"}, {"manual"}}));

  // With no hour, day, week or month kept, only the latest automatic one
  // stays; the manual one is not counted.
  ASSERT_EQ(tool({"settings", "--hourly", "0", "--daily", "0", "--weekly", "0", "--monthly", "0"}).status, 0);
  std::string previous;
  for (const char* content : {"two", "three!", "four"}) {
    writeFile(folder + "/a", content);
    const std::string saved = tool({"save", folder, "--auto", "--json"}).out;
    EXPECT_EQ((Values{members(saved, "kind"), members(saved, "saved")}), (Values{{"automatic"}, {"true"}}));
    EXPECT_NE(saved.find("\"removed\" : [\n" + (previous.empty() ? "" : "    \"" + previous + "\"") + "\n  ]"),
              std::string::npos);
    previous = members(saved, "id").at(0);
  }
  const std::vector<Listed> kept = listed(folder);
  EXPECT_EQ(tool({"list", folder}).out,
            line(kept.at(1)) + "  1 files  [automatic]\n" + line(kept.at(0)) + "  1 files\n");
}

TEST_F(CommandLine, RunTakesAnUndoPointRunsTheCommandAsGivenAndSaysHowToUndoIt) {
  const std::string folder = scratch / "my \"odd\" folder's";
  writeFiles(folder, {{"a", "before"}, {"script", "#!/bin/sh\n"}});
  const ToolRun changed = tool(
      {"run", folder, "--name", "mine", "--", "sh", "-c", "echo out; echo err >&2; echo x >\"$0/a\"; exit 3", folder});
  const std::string id = listed(folder).at(0).id;
  EXPECT_EQ(changed, (ToolRun{3, "out\n",
                              "redomark: saved redomark " + id + " of " + folder +
                                  " before running the command.\nerr\n"
                                  "redomark: the command changed 1 items in " +
                                  folder + "; to undo: redomark restore '" + scratch.path() +
                                  "/my \"odd\" folder'\\''s' " + id + "\n"}));

  // Unnamed, it is named for the command.
  writeFile(folder + "/a", "after");
  EXPECT_EQ(tool({"run", folder, "--", "true"}).status, 0);
  EXPECT_EQ(tool({"list", folder}).out.find(line(listed(folder).back(), "  \"Before true\"") + "  2 files\n"), 0u);
  const std::string before =
      "redomark: nothing changed since redomark " + listed(folder).back().id + ", which is the undo point.\n";
  const std::string nothing = "redomark: the command changed nothing in " + folder + ".\n";
  expectRuns({
      {{"run", folder, "--", "true"}, {0, "", before + nothing}},
      {{"run", folder, "--", "sh", "-c", "kill -TERM $$"}, {128 + SIGTERM, "", before + nothing}},
      {{"run", folder, "--", "no-such-command", "x"},
       {127, "", before + "redomark: couldn't run no-such-command: No such file or directory\n"}},
      {{"run", folder, "--", folder + "/script"},
       {126, "", before + "redomark: couldn't run " + folder + "/script: Permission denied\n"}},
  });
  EXPECT_EQ(listed(folder).size(), 2u);
  // Ctrl-C and Ctrl-\ reach the command as they would without the tool: neither blocked nor ignored.
  EXPECT_TRUE(std::regex_search(tool({"run", folder, "--", "cat", "/proc/self/status"}).out,
                                std::regex("\nSigBlk:\t0+\nSigIgn:\t[0-9a-f]*[0189]\n")));
}

}  // namespace
}  // namespace redomark::testing
