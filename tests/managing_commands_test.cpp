// The built tool's commands that manage what was saved: delete (its prompt
// on a terminal too), folders across every store of a user, and settings as
// the next save reads them. Exact bytes, statuses and what is left on disk.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
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
  // The folder saved count times, its checkpoints as list --json gives them, oldest first.
  std::vector<Listed> savedTimes(const std::string& folder, int count) const {
    for (int i = 0; i < count; ++i) saved(folder);
    return listed(folder);
  }
  std::string promptFor(const std::string& folder, const std::vector<Listed>& chosen) const {
    std::string text = "Delete these redomarks of " + folder + "?\n";
    for (const Listed& c : chosen) text += "  " + line(c) + "\n";
    return text + "Continue? [y/N] ";
  }
  ToolRun removedBy(const std::string& saved, const std::string& folder,
                    const std::vector<std::string>& removed) const {
    std::string out = savedLine(saved, folder, "1 files, 4 bytes");
    for (const std::string& line : removed) out += "Removed older redomark " + line + " to stay within your limits.\n";
    return ok(out + notABackup);
  }
  std::string settingsFile() const { return home / ".local/share/Redomark/settings.json"; }
};

TEST_F(Managing, DeleteResolvesEveryIdFirstAsksDeletesOldestFirstAndStopsAtOneDeletedMeanwhile) {
  const std::string folder = scratch / "site";
  writeFiles(folder, {{"page", "text"}});
  ASSERT_EQ(tool({"settings", "--keep", "7"}).status, 0);
  const std::vector<Listed> saved = savedTimes(folder, 7);
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

  // Busy while another operation holds the folder's lock.
  const std::string folderDirectory = CheckpointStore(defaultStore()).folderDirectory(folder);
  const int lock = open((folderDirectory + "/.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(tool({"delete", folder, "latest", "--yes"}),
            failed(1, "Another Redomark operation is already running on " + folder + ". Wait for it to finish."));
  close(lock);

  // Deleted oldest first: when the older of the two goes meanwhile, nothing is
  // deleted; when the newer goes, the older is deleted and stays deleted.
  for (const auto& [older, newer, gone] : {std::tuple{1, 5, 1}, {2, 5, 5}}) {
    TerminalProcess asking({"delete", folder, saved[newer].id, saved[older].id}, home.path());
    ASSERT_NE(asking.readUntil("[y/N] "), notShown);
    EXPECT_EQ(tool({"delete", folder, saved[gone].id, "--yes"}), ok("Deleted redomark " + saved[gone].id + ".\n"));
    asking.type("y\n");
    const std::string deleted = gone == older ? "" : "Deleted redomark " + saved[older].id + ".\n";
    EXPECT_EQ(asking.wait(), (ToolRun{1,
                                      promptFor(folder, {saved[older], saved[newer]}) + deleted + erase +
                                          "redomark: No saved redomark matches \"" + saved[gone].id + "\".\n",
                                      ""}));
  }

  // Without a prompt, of a folder that is gone; the last ones take the folder's directory with them.
  removeTree(folder);
  EXPECT_EQ(tool({"delete", folder, saved[4].id, saved[3].id, "--yes"}),
            ok("Deleted redomark " + saved[3].id + ".\nDeleted redomark " + saved[4].id + ".\n"));
  EXPECT_FALSE(pathExists(folderDirectory, false));
}

// Run as a user of its own, so that the stores it finds on the shared test
// volumes hold only what this test saved.
class FoldersOfOneUser : public Managing {
 protected:
  FoldersOfOneUser() {
    for (const std::string& path : {home.path(), scratch.path(), onBtrfs2.path(), onXfs.path()}) ownedByUser(path);
    launcher = asUid(user);
  }
  ~FoldersOfOneUser() override {
    for (Volume volume : {Volume::btrfs2, Volume::xfs})
      for (const char* store : {"/.redomark-checkpoints-", "/.redomark-checkpoints/"})
        std::filesystem::remove_all(volumeRoot(volume) + store + std::to_string(user));
  }
  void ownedByUser(const std::string& path) const {
    ASSERT_EQ(lchown(path.c_str(), user, user), 0) << path;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
      ASSERT_EQ(lchown(entry.path().c_str(), user, user), 0) << entry.path();
  }
  struct Folder {
    std::string path;
    int count;
    bool gone = false;
    int64_t space = 0;
  };
  // What folders prints of these, as text or JSON, with or without the space each uses.
  std::string report(const std::vector<Folder>& folders, bool json, bool space) const {
    std::string out;
    for (const Folder& f : folders) {
      const std::string latest = listed(f.path).back().createdAt;
      if (json)
        out += std::string(out.empty() ? "" : ",\n") + "  {\n    \"count\" : " + std::to_string(f.count) +
               ",\n    \"exists\" : " + (f.gone ? "false" : "true") + ",\n    \"latest\" : \"" + latest +
               "\",\n    \"path\" : \"" + std::regex_replace(f.path, std::regex("/"), "\\/") + "\"" +
               (space ? ",\n    \"spaceUsed\" : " + std::to_string(f.space) : "") + "\n  }";
      else
        out += f.path + "  " + std::to_string(f.count) + " redomarks, latest " + localDate(latest) +
               (space ? "  uses " + formatBytes(f.space) : "") + (f.gone ? "  [folder gone]" : "") + "\n";
    }
    return json ? "[\n" + out + "\n]\n" : out;
  }

  const uid_t user = 200000 + getpid() % 100000;
  ScratchDir onBtrfs2{Volume::btrfs2};
  ScratchDir onXfs{Volume::xfs};
};

TEST_F(FoldersOfOneUser, ListsTheDefaultStoreAndEveryVolumeOnceNewestFirst) {
  expectRuns({{{"folders"}, ok("No saved redomarks.\n")}, {{"folders", "--json", "--space"}, ok("[\n\n]\n")}});
  // Newest first; a folder saved twice with its file rewritten in between has 64 KiB of its own.
  std::vector<Folder> folders = {
      {onXfs / "notes", 1}, {onBtrfs2 / "photos", 2}, {scratch / "site", 2}, {onXfs / "old", 2, true}};
  for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
    for (int i = 0; i < f->count; ++i) {
      writeFiles(f->path, {{"big", std::string(64 * 1024, 'a' + i)}});
      ownedByUser(f->path);
      saved(f->path);
    }
  }
  ASSERT_EQ(rename((onXfs / "old").c_str(), (onXfs / "renamed").c_str()), 0);
  // A second mount of one volume leads to the same store, which is read once.
  const std::string bind = scratch / "bind";
  makeDirectory(bind);
  ASSERT_EQ(mount(volumeRoot(Volume::btrfs2).c_str(), bind.c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{bind};
  // Each folder's sum is the sum of what list measures for each of its checkpoints.
  for (Folder& f : folders)
    for (const int64_t n : spaceUsed(f.path)) f.space += n;
  expectRuns({{{"folders", "--space"}, ok(report(folders, false, true))},
              {{"folders", "--json"}, ok(report(folders, true, false))},
              {{"folders", "--json", "--space"}, ok(report(folders, true, true))}});
  // Root's own stores hold nothing of the user's.
  EXPECT_EQ(runTool({"folders"}, home.path()).out.find(onXfs.path()), notShown);
  // A store others may enter could hold records anyone made up: it is passed over.
  ASSERT_EQ(chmod((volumeRoot(Volume::xfs) + "/.redomark-checkpoints-" + std::to_string(user)).c_str(), 0755), 0);
  EXPECT_EQ(tool({"folders"}).out, report({folders[1], folders[2]}, false, false));
}

TEST_F(Managing, SettingsAreShownWrittenPrivatelyAndFollowedByTheNextSave) {
  const std::string path = settingsFile(),
                    keepTwo = "Settings: " + path + "\nKeep: the 2 newest redomarks you saved of each folder\n";
  const std::string timeline = ",\"keepDaily\":7,\"keepHourly\":24,\"keepMonthly\":12,\"keepWeekly\":4";
  EXPECT_EQ(tool({"settings"}), ok("Settings: " + path + " (not written yet, so the defaults apply)\n" + defaults));
  // Written over a file anyone could read, which it replaces.
  createDirectories(parentPath(path));
  writeFile(path, "{\"keepPerFolder\":9}");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(tool({"settings", "--keep", "2", "--budget", "5GB", "--max-age", "none"}),
            ok(keepTwo + "Age limit: none\nBudget for each store: 5 GB (5000000000 bytes)\n" + automatic));
  EXPECT_EQ(readWholeFile(path), "{\"keepPerFolder\":2,\"maxTotalBytes\":5000000000" + timeline + "}");
  EXPECT_EQ(permissions(path), 0600u);
  EXPECT_EQ(sortedNames(parentPath(path)), std::vector<std::string>{"settings.json"});
  // Limits not named keep their values.
  EXPECT_EQ(tool({"settings", "--budget", "none", "--json"}), ok(settingsJson(2, "")));
  EXPECT_EQ(readWholeFile(path), "{\"keepPerFolder\":2" + timeline + "}");

  // A save reads them back: two kept, then an age limit of 0 keeps only the latest.
  const std::string folder = scratch / "site";
  writeFiles(folder, {{"page", "text"}});
  const std::vector<Listed> first = savedTimes(folder, 2);
  const ToolRun third = tool({"save", folder});
  EXPECT_EQ(third, removedBy(savedId(third), folder, {first[0].id}));
  EXPECT_EQ(tool({"settings", "--max-age", "0"}).out,
            keepTwo + "Age limit: 0 days\nBudget for each store: none\n" + automatic);
  const ToolRun fourth = tool({"save", folder});
  EXPECT_EQ(fourth, removedBy(savedId(fourth), folder, {first[1].id, savedId(third)}));
  EXPECT_EQ(tool({"settings", "--hourly", "0", "--daily", "1", "--weekly", "2", "--monthly", "3", "--max-age", "none"}),
            ok(keepTwo + "Age limit: none\nBudget for each store: none\nAutomatic redomarks: the newest of each of the "
                         "last 0 hours, 1 days, 2 weeks and 3 months\n"));
  EXPECT_EQ(readWholeFile(path),
            "{\"keepPerFolder\":2,\"keepDaily\":1,\"keepHourly\":0,\"keepMonthly\":3,\"keepWeekly\":2}");

  // The byte budget takes the oldest checkpoints of any folder, and names
  // the folder of one that is not the saved one's.
  const std::string other = scratch / "other";
  writeFiles(other, {{"page", "text"}});
  const std::vector<Listed> others = savedTimes(other, 2);
  EXPECT_EQ(tool({"settings", "--budget", "1"}).status, 0);
  const ToolRun fifth = tool({"save", folder});
  EXPECT_EQ(fifth, removedBy(savedId(fifth), folder, {savedId(fourth), others[0].id + " of " + other}));
}

TEST_F(Managing, AnUnusableSettingsFileIsNamedBySettingsAndBySaveWhichKeepTheDefaults) {
  const std::string path = settingsFile(), folder = scratch / "site";
  createDirectories(parentPath(path));
  writeFiles(folder, {{"page", "text"}});
  // Were the second used, its save would remove the first one's checkpoint.
  for (const auto& [content, why] :
       {std::pair{"keepPerFolder = 1", "it isn't JSON"},
        {"{\"keepPerFolder\":1,\"maxAgeDays\":\"7\"}", "\"maxAgeDays\" must be a whole number"}}) {
    writeFile(path, content);
    EXPECT_EQ(tool({"settings"}),
              ok("Settings: " + path + " (it can't be used: " + why + ", so the defaults apply)\n" + defaults));
    const ToolRun save = tool({"save", folder});
    EXPECT_EQ(save, (ToolRun{0, savedLine(savedId(save), folder, "1 files, 4 bytes") + notABackup,
                             "redomark: " + path + " can't be used (" + why + "), so the default limits apply.\n"}));
  }
  // Changing one limit starts from the defaults, not from the unusable file.
  EXPECT_EQ(tool({"settings", "--keep", "1", "--json"}), ok(settingsJson(1, "10737418240")));
  const std::vector<Listed> two = listed(folder);
  ASSERT_EQ(two.size(), 2u);
  const ToolRun kept = tool({"save", folder});
  EXPECT_EQ(kept, removedBy(savedId(kept), folder, {two[0].id, two[1].id}));

  // A folder in the file's place can be neither read nor replaced.
  removeTree(path);
  makeDirectory(path);
  expectRuns({{{"settings"},
               ok("Settings: " + path +
                  " (it can't be used: it isn't a regular file of yours, so the defaults apply)\n" + defaults)},
              {{"settings", "--keep", "1"}, failed(1, "Couldn't write " + path + ": Is a directory")}});
  EXPECT_EQ(sortedNames(parentPath(path)), (std::vector<std::string>{"Checkpoints", "settings.json"}))
      << "a temporary file was left";
}

}  // namespace
}  // namespace redomark::testing
