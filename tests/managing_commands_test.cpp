// The built tool's commands that manage what was saved: delete (its prompt
// on a terminal too), folders across every store of a user, and settings as
// the next save reads them. Then the tool on a terminal: the restore and undo
// prompts, the progress line and Ctrl-C, byte for byte as the terminal
// receives them. Exact bytes, statuses and what is left on disk.
#include <algorithm>
#include <tuple>

#include "core/fs/path_text.h"
#include "redomark/reports.h"
#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

const std::string automatic =
    "Automatic redomarks: the newest of each of the last 24 hours, 7 days, 4 weeks and 12 months\n";
// What settings shows when no limit was set.
const std::string defaults =
    "Keep: the 5 newest redomarks you saved of each folder\nAge limit: none\n"
    "Budget for each store: 10.74 GB (10737418240 bytes)\n" +
    automatic;

std::string settingsJson(int keep, const std::string& budget) {
  return "{\n  \"keepDaily\" : 7,\n  \"keepHourly\" : 24,\n  \"keepMonthly\" : 12,\n  \"keepPerFolder\" : " +
         std::to_string(keep) + ",\n  \"keepWeekly\" : 4" +
         (budget.empty() ? "" : ",\n  \"maxTotalBytes\" : " + budget) + "\n}\n";
}

class Managing : public CommandLine {
 protected:
  std::string promptFor(const std::string& folder, const std::vector<Listed>& chosen) const {
    std::string text = "Delete these redomarks of " + folder + "?\n";
    for (const Listed& c : chosen) text += "  " + line(c) + "\n";
    return text + "Continue? [y/N] ";
  }
  ToolRun removedBy(const std::string& id, const std::string& folder, const std::vector<std::string>& gone) const {
    std::string out = savedLine(id, folder, "1 files, 4 bytes");
    for (const std::string& line : gone) out += "Removed older redomark " + line + " to stay within your limits.\n";
    return ok(out + notABackup);
  }
};

TEST_F(Managing, DeleteResolvesEveryIdFirstAsksDeletesOldestFirstAndStopsAtOneDeletedMeanwhile) {
  const std::string folder = scratch / "site";
  writeFiles(folder, {{"page", "text"}});
  ASSERT_EQ(tool({"settings", "--keep", "7"}).status, 0);
  for (int i = 0; i < 7; ++i) saved(folder);
  const std::vector<Listed> saved = listed(folder);
  ASSERT_EQ(saved.size(), 7u);
  std::string all;
  for (const Listed& c : saved) all += (all.empty() ? "" : ", ") + c.id;
  // One bad id among good ones deletes nothing (as the ids left at the end show).
  expectRuns(
      {{{"delete", folder, saved[0].id, "nothing-like-it", "--yes"},
        failed(1, "No saved redomark matches \"nothing-like-it\".")},
       {{"delete", folder, "2", "--yes"}, failed(1, "\"2\" matches several redomarks: " + all + ".")},
       {{"delete", folder, "latest"}, failed(1, "deleting needs confirmation: run it in a terminal or pass --yes")}});

  // The latest named twice, by "latest" and by its id, is asked about and deleted once; the oldest by a prefix.
  std::string prefix = saved[0].id;
  while (std::count_if(saved.begin(), saved.end(), [&](const Listed& c) { return c.id.starts_with(prefix); }) == 1)
    prefix.pop_back();
  const std::vector<std::string> args = {"delete", folder, "latest", saved[0].id.substr(0, prefix.size() + 1),
                                         saved[6].id};
  const std::string prompt = promptFor(folder, {saved[0], saved[6]});
  // Judged as the restore prompt's answer is.
  EXPECT_EQ(answer(args, "no\n"), (ToolRun{1, prompt + "redomark: not deleted\n", ""}));
  EXPECT_EQ(answer(args, "Yes\n"),
            ok(prompt + "Deleted redomark " + saved[0].id + ".\nDeleted redomark " + saved[6].id + ".\n"));
  EXPECT_EQ(savedIds(folder),
            (std::vector<std::string>{saved[1].id, saved[2].id, saved[3].id, saved[4].id, saved[5].id}));

  // Deleted oldest first: when the older of the two goes meanwhile, nothing is
  // deleted; when the newer goes, the older is deleted and stays deleted.
  for (const auto& [older, newer, gone] : {std::tuple{1, 5, 1}, {2, 5, 5}}) {
    TerminalProcess asking({"delete", folder, saved[newer].id, saved[older].id}, home.path());
    ASSERT_NE(asking.readUntil("[y/N] "), std::string::npos);
    EXPECT_EQ(tool({"delete", folder, saved[gone].id, "--yes"}), ok("Deleted redomark " + saved[gone].id + ".\n"));
    asking.type("y\n");
    const std::string deleted = gone == older ? "" : "Deleted redomark " + saved[older].id + ".\n";
    EXPECT_EQ(asking.wait(), (ToolRun{1,
                                      promptFor(folder, {saved[older], saved[newer]}) + deleted + erase +
                                          "redomark: No saved redomark matches \"" + saved[gone].id + "\".\n",
                                      ""}));
  }
}

// Run as a user of its own, so that the stores it finds on the shared test volumes hold only what this test saved.
TEST_F(Managing, FoldersListsTheDefaultStoreAndEveryVolumeOnceNewestFirst) {
  const uid_t user = 200000 + getpid() % 100000;
  const ScratchDir onBtrfs2(Volume::btrfs2), onXfs(Volume::xfs);
  const auto store = [&](Volume volume) {
    return volumeRoot(volume) + "/.redomark-checkpoints-" + std::to_string(user);
  };
  launcher = asUid(user);
  expectRuns({{{"folders"}, ok("No saved redomarks.\n")}, {{"folders", "--json", "--space"}, ok("[\n\n]\n")}});
  // Newest first; the folder saved twice with its file rewritten in between has 64 KiB of its own.
  struct Folder {
    std::string path;
    int count;
    bool gone = false;
  };
  std::vector<Folder> folders = {{onBtrfs2 / "photos", 2}, {scratch / "site", 1}, {onXfs / "old", 1, true}};
  for (const Folder& f : folders) writeFiles(f.path, {{"big", std::string(64 * 1024, 'a')}});
  for (const std::string& path : {home.path(), scratch.path(), onBtrfs2.path(), onXfs.path()})
    ASSERT_EQ(system(("chown -R " + std::to_string(user) + ":" + std::to_string(user) + " " + path).c_str()), 0);
  for (auto f = folders.rbegin(); f != folders.rend(); ++f)
    for (int i = 0; i < f->count; ++i) {
      writeFile(f->path + "/big", std::string(64 * 1024, 'a' + i));
      saved(f->path);
    }
  ASSERT_EQ(rename((onXfs / "old").c_str(), (onXfs / "renamed").c_str()), 0);
  // Each folder's sum is the sum of what list measures for each of its checkpoints.
  const auto report = [&](const std::vector<Folder>& shown) {
    std::string out;
    for (const Folder& f : shown) {
      int64_t space = 0;
      for (const int64_t n : spaceUsed(f.path)) space += n;
      out += f.path + "  " + std::to_string(f.count) + " redomarks, latest " +
             localDate(listed(f.path).back().createdAt) + "  uses " + formatBytes(space) +
             (f.gone ? "  [folder gone]" : "") + "\n";
    }
    return out;
  };
  EXPECT_EQ(tool({"folders", "--space"}), ok(report(folders)));
  // A store others may enter could hold records anyone made up: it is passed over.
  ASSERT_EQ(chmod(store(Volume::xfs).c_str(), 0755), 0);
  EXPECT_EQ(tool({"folders"}).out, std::regex_replace(report({folders[0], folders[1]}), std::regex("  uses .*"), ""));
  for (Volume volume : {Volume::xfs, Volume::btrfs2}) removeTree(store(volume));
}

TEST_F(Managing, SettingsAreShownWrittenPrivatelyAndFollowedByTheNextSaveWhichKeepsTheDefaultsOfAnUnusableFile) {
  const std::string path = home / ".local/share/Redomark/settings.json", folder = scratch / "site",
                    keepTwo = "Settings: " + path + "\nKeep: the 2 newest redomarks you saved of each folder\n";
  const std::string timeline = ",\"keepDaily\":7,\"keepHourly\":24,\"keepMonthly\":12,\"keepWeekly\":4";
  EXPECT_EQ(tool({"settings"}), ok("Settings: " + path + " (not written yet, so the defaults apply)\n" + defaults));
  // An unusable file is named by settings and by each save; were it used, the second save would remove the first.
  createDirectories(parentPath(path));
  writeFile(path, "{\"keepPerFolder\":1,\"maxAgeDays\":\"7\"}");
  const std::string why = "\"maxAgeDays\" must be a whole number";
  EXPECT_EQ(tool({"settings"}),
            ok("Settings: " + path + " (it can't be used: " + why + ", so the defaults apply)\n" + defaults));
  writeFiles(folder, {{"page", "text"}});
  for (int i = 0; i < 2; ++i) {
    const ToolRun save = tool({"save", folder});
    EXPECT_EQ(save, (ToolRun{0, savedLine(savedId(save), folder, "1 files, 4 bytes") + notABackup,
                             "redomark: " + path + " can't be used (" + why + "), so the default limits apply.\n"}));
  }
  // Changing one limit starts from the defaults, not from the unusable file.
  EXPECT_EQ(tool({"settings", "--keep", "1", "--json"}), ok(settingsJson(1, "10737418240")));
  const std::vector<Listed> two = listed(folder);
  const ToolRun kept = tool({"save", folder});
  EXPECT_EQ(kept, removedBy(savedId(kept), folder, {two.at(0).id, two.at(1).id}));

  // Written over a file anyone could read, which it replaces.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(tool({"settings", "--keep", "2", "--budget", "5GB", "--max-age", "none"}),
            ok(keepTwo + "Age limit: none\nBudget for each store: 5 GB (5000000000 bytes)\n" + automatic));
  EXPECT_EQ(readFile(path), "{\"keepPerFolder\":2,\"maxTotalBytes\":5000000000" + timeline + "}");
  EXPECT_EQ(permissions(path), 0600u);
  EXPECT_EQ(sortedNames(parentPath(path)), (std::vector<std::string>{"Checkpoints", "settings.json"}));
  // Limits not named keep their values.
  EXPECT_EQ(tool({"settings", "--budget", "none", "--json"}), ok(settingsJson(2, "")));

  // A save reads them back: two kept.
  const std::string second = saved(folder);
  const ToolRun third = tool({"save", folder});
  EXPECT_EQ(third, removedBy(savedId(third), folder, {savedId(kept)}));

  // The byte budget takes the oldest checkpoints of any folder, and names
  // the folder of one that is not the saved one's.
  const std::string other = scratch / "other";
  writeFiles(other, {{"page", "text"}});
  for (int i = 0; i < 2; ++i) saved(other);
  const std::vector<Listed> others = listed(other);
  EXPECT_EQ(tool({"settings", "--budget", "1"}).status, 0);
  const ToolRun fifth = tool({"save", folder});
  EXPECT_EQ(fifth, removedBy(savedId(fifth), folder, {second, savedId(third), others[0].id + " of " + other}));
}

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
