// Undo points the built tool takes without a save typed for each: save
// --if-changed and --auto with the timeline's thinning, run around a command,
// and which redomark "latest" and undo mean after a restore.
#include <sys/stat.h>

#include <csignal>

#include <gtest/gtest.h>

#include <regex>

#include "tests/command_line_fixture.h"
#include "core/store/checkpoint_store.h"
#include "tests/path_helpers.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

constexpr size_t notShown = std::string::npos;

// The value of a JSON report's member, as written.
std::string member(const std::string& json, const std::string& key) {
  std::smatch m;
  return std::regex_search(json, m, std::regex("\"" + key + "\" : (\"[^\"]*\"|true|false|\\[[^\\]]*\\])")) ? m[1].str()
                                                                                                           : "(none)";
}

TEST_F(CommandLine, SaveIfChangedAndAutoSaveOnlyChangesAndThinAutomaticOnes) {
  const std::string folder = scratch / "notes";
  makeDirectory(folder);
  writeFile(folder + "/a", "one");
  const std::string first = savedId(tool({"save", folder, "--if-changed"}));
  ASSERT_NE(first, "(no id)") << "a folder never saved is saved";
  const ToolRun unchanged{0, "No changes since redomark " + first + "; nothing saved.\n", ""};
  EXPECT_EQ(tool({"save", folder, "--if-changed"}), unchanged);
  EXPECT_EQ(tool({"save", folder, "--auto", "--name", "x"}), unchanged);
  const std::string same = tool({"save", folder, "--auto", "--json"}).out;
  EXPECT_EQ(member(same, "id") + member(same, "saved") + member(same, "kind"), "\"" + first + "\"false\"manual\"");

  // With no hours, days, weeks or months kept, only the latest automatic one
  // stays, and the manual one is not counted.
  ASSERT_EQ(tool({"settings", "--hourly", "0", "--daily", "0", "--weekly", "0", "--monthly", "0"}).status, 0);
  std::vector<std::string> automatic;
  for (const char* content : {"two", "three!", "four"}) {
    writeFile(folder + "/a", content);
    const ToolRun saved = tool({"save", folder, "--auto", "--json"});
    EXPECT_EQ(saved.status, 0);
    EXPECT_EQ(member(saved.out, "kind") + member(saved.out, "saved"), "\"automatic\"true");
    const std::string removed = automatic.empty() ? "[\n\n  ]" : "[\n    \"" + automatic.back() + "\"\n  ]";
    EXPECT_EQ(member(saved.out, "removed"), removed);
    automatic.push_back(member(saved.out, "id").substr(1, 20));
  }
  const std::vector<Listed> kept = listed(folder);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(tool({"list", folder}).out,
            line(kept[1]) + "  1 files  [automatic]\n" + line(kept[0]) + "  1 files\n");
  EXPECT_EQ(kept[1].id, automatic.back());

  // A kind this version does not know hides that checkpoint alone.
  const std::string meta = CheckpointStore(defaultStore()).folderDirectory(folder) + "/" + first + "/meta.json";
  writeFile(meta, std::regex_replace(readFile(meta), std::regex("\"manual\""), "\"hourly\""));
  EXPECT_EQ(tool({"list", folder}).out, line(kept[1]) + "  1 files  [automatic]\n");
}

TEST_F(CommandLine, RunTakesAnUndoPointRunsTheCommandAsGivenAndSaysHowToUndoIt) {
  const std::string folder = scratch / "my \"odd\" folder's";
  makeDirectory(folder);
  writeFile(folder + "/a", "before");
  writeFile(folder + "/script", "#!/bin/sh\n");
  const std::string quoted = "'" + scratch.path() + "/my \"odd\" folder'\\''s'";
  const auto run = [&](std::vector<std::string> command) {
    command.insert(command.begin(), {"run", folder});
    return tool(command);
  };
  const ToolRun changed = run({"--name", "mine", "--", "sh", "-c", "echo out; echo err >&2; echo x >\"$0/a\"; exit 3", folder});
  const std::string id = listed(folder).at(0).id;
  EXPECT_EQ(changed, (ToolRun{3, "out\n",
                              "redomark: saved redomark " + id + " of " + folder + " before running the command.\nerr\n"
                              "redomark: the command changed 1 items in " + folder + "; to undo: redomark restore " +
                                  quoted + " " + id + "\n"}));
  EXPECT_EQ(member(tool({"list", folder, "--json"}).out, "name"), "\"mine\"");
  const std::string nothing = "redomark: nothing changed since redomark ";
  struct Case {
    std::vector<std::string> command;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"--", "true"}, 0, "redomark: the command changed nothing in " + folder + ".\n"},
      {{"--", "sh", "-c", "kill -TERM $$"}, 128 + 15, "redomark: the command changed nothing in " + folder + ".\n"},
      {{"--", "no-such-command", "x"}, 127, "redomark: couldn't run no-such-command: No such file or directory\n"},
      {{"--", folder + "/script"}, 126, "redomark: couldn't run " + folder + "/script: Permission denied\n"},
  };
  writeFile(folder + "/a", "after");
  const std::string second = savedId(tool({"save", folder}));
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.command), (ToolRun{c.status, "", nothing + second + ", which is the undo point.\n" + c.err}))
        << c.command.at(1);
  }
  // The command gets Ctrl-C and Ctrl-\\ as if run without the tool: not
  // blocked, not ignored.
  const ToolRun own = tool({"run", folder, "--", "cat", "/proc/self/status"});
  std::smatch blocked, ignored;
  ASSERT_TRUE(std::regex_search(own.out, blocked, std::regex("SigBlk:\t([0-9a-f]+)"))) << own.out;
  ASSERT_TRUE(std::regex_search(own.out, ignored, std::regex("SigIgn:\t([0-9a-f]+)"))) << own.out;
  EXPECT_EQ(std::stoull(blocked[1], nullptr, 16), 0u);
  EXPECT_EQ(std::stoull(ignored[1], nullptr, 16) & (1u << (SIGINT - 1) | 1u << (SIGQUIT - 1)), 0u);
  const std::string usage = tool({"help"}).out;
  EXPECT_EQ(run({}), (ToolRun{2, "", "redomark: missing <command>\n" + usage}));
  EXPECT_EQ(run({"--"}), (ToolRun{2, "", "redomark: missing <command>\n" + usage}));
  EXPECT_EQ(listed(folder).size(), 2u);

  // Without a name it is named after the command, cut to 200 bytes where a
  // character ends; the line it gave undoes it.
  writeFile(folder + "/b", "new");
  const std::string named = "Before sh -c rm \"$0/a\" \"$0/b\" " + folder + " ";
  ASSERT_LT(named.size(), 199u);
  const std::string filler = std::string(199 - named.size(), 'x') + "\u00e9\u00e9";
  EXPECT_EQ(run({"--", "sh", "-c", "rm \"$0/a\" \"$0/b\"", folder, filler}).status, 0);
  EXPECT_NE(tool({"list", folder}).out.find("  \"" + named + std::string(199 - named.size(), 'x') + "\"  3 files\n"),
            notShown)
      << tool({"list", folder}).out;
  EXPECT_EQ(tool({"restore", folder, listed(folder).back().id, "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/a") + readFile(folder + "/b"), "afternew");

  // Ctrl-C reaches the command, and the tool still reports and ends with its status.
  TerminalProcess interrupted({"run", folder, "--", "sh", "-c", "trap 'echo caught; kill $!; exit 5' INT; sleep 9 & echo ready; wait"},
                              home.path());
  ASSERT_NE(interrupted.readUntil("ready"), notShown);
  interrupted.type("\x03");
  const ToolRun ended = interrupted.wait();
  EXPECT_EQ(ended.status, 5);
  const size_t caught = ended.out.find("caught\n");
  ASSERT_NE(caught, notShown) << ended.out;
  EXPECT_NE(ended.out.find("redomark: the command changed nothing in " + folder + ".\n", caught), notShown) << ended.out;
}

TEST_F(CommandLine, LatestSkipsBeforeRestoreCheckpointsAndUndoPutsBackTheLastRestoreUndoably) {
  const std::string folder = scratch / "thesis";
  makeDirectory(folder);
  EXPECT_EQ(tool({"undo", folder, "--yes"}), failed(1, "There is nothing to undo for " + folder + "."));
  const auto contents = [&] { return readFile(folder + "/a") + "," + readFile(folder + "/b"); };
  writeFile(folder + "/a", "good a");
  writeFile(folder + "/b", "good b");
  ASSERT_EQ(tool({"save", folder, "--name", "good"}).status, 0);
  EXPECT_EQ(tool({"undo", folder, "--yes"}), failed(1, "There is nothing to undo for " + folder + "."));
  writeFile(folder + "/a", "broken a");
  writeFile(folder + "/b", "broken b");
  ASSERT_EQ(tool({"restore", folder, "--yes"}).status, 0);
  writeFile(folder + "/a", "broken again");
  ASSERT_EQ(tool({"restore", folder, "--file", "a", "--yes"}).status, 0);
  EXPECT_EQ(contents(), "good a,good b");

  EXPECT_EQ(tool({"undo", folder}), failed(1, "restoring needs confirmation: run it in a terminal or pass --yes"));
  const std::vector<Listed> saved = listed(folder);
  ASSERT_EQ(saved.size(), 2u);
  TerminalProcess asked({"undo", folder}, home.path());
  ASSERT_NE(asked.readUntil("[y/N] "), notShown);
  asked.type("n\n");
  EXPECT_NE(asked.wait().out.find("Undo the last restore of " + folder + " by putting it back to " +
                                  line(saved[1]) + "  \"Before "),
            notShown);
  const ToolRun undone = tool({"undo", folder, "--yes"});
  EXPECT_EQ(undone.out.substr(0, undone.out.find('\n')), "Restored " + folder + " to " + saved[1].id + ".");
  EXPECT_EQ(contents(), "broken a,broken b");
  // The undo saved what it replaced, so undoing it again brings that back.
  EXPECT_EQ(tool({"undo", folder, "--yes"}).status, 0);
  EXPECT_EQ(contents(), "good a,good b");
  const std::string sinceGood = "Changes since " + saved[0].id + "  ";
  EXPECT_EQ(tool({"diff", folder}).out.substr(0, sinceGood.size()), sinceGood);
}

}  // namespace
}  // namespace redomark::testing
