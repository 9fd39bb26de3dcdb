// The built tool's commands that manage what was saved: delete (its prompt
// on a terminal too), folders across every store of a user, and settings as
// the next save reads them. Exact bytes, statuses and what is left on disk.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <tuple>

#include "core/fs/path_text.h"
#include "core/store/checkpoint_store.h"
#include "redomark/reports.h"
#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

const std::string automatic = "Automatic redomarks: the newest of each of the last 24 hours, 7 days, 4 weeks and 12 months\n";
// What settings shows when no limit was set.
const std::string defaults = "Keep: the 5 newest redomarks you saved of each folder\nAge limit: none\n"
                             "Budget for each store: 10.74 GB (10737418240 bytes)\n" + automatic;

std::string escapedSlashes(const std::string& path) { return std::regex_replace(path, std::regex("/"), "\\/"); }

// The "spaceUsed" members of a JSON report, added up.
int64_t sumOfSpaceUsed(const std::string& json) {
  int64_t sum = 0;
  for (const std::string& n : members(json, "spaceUsed")) sum += std::stoll(n);
  return sum;
}

class Managing : public CommandLine {
 protected:
  // The folder saved count times, its checkpoints as list --json gives them, oldest first.
  std::vector<Listed> savedTimes(const std::string& folder, int count) const {
    for (int i = 0; i < count; ++i) EXPECT_EQ(tool({"save", folder}).status, 0);
    return listed(folder);
  }
  std::string promptFor(const std::string& folder, const std::vector<Listed>& chosen) const {
    std::string text = "Delete these redomarks of " + folder + "?\n";
    for (const Listed& c : chosen) text += "  " + line(c) + "\n";
    return text + "Continue? [y/N] ";
  }
  // The shortest beginning of the id of saved[index] that no other id there shares.
  static std::string uniquePrefix(const std::vector<Listed>& saved, size_t index) {
    for (size_t length = 1;; ++length) {
      const std::string prefix = saved[index].id.substr(0, length);
      if (std::count_if(saved.begin(), saved.end(), [&](const Listed& c) { return c.id.starts_with(prefix); }) == 1)
        return prefix;
    }
  }
  std::string settingsFile() const { return home / ".local/share/Redomark/settings.json"; }
};

TEST_F(Managing, DeleteResolvesEveryIdFirstAsksAndDeletesOldestFirst) {
  const std::string folder = scratch / "site";
  makeDirectory(folder);
  writeFile(folder + "/page", "text");
  const std::string usage = tool({"help"}).out;
  const auto usageError = [&](const std::string& message) { return ToolRun{2, "", "redomark: " + message + "\n" + usage}; };
  EXPECT_EQ(tool({"delete"}), usageError("missing <path>"));
  EXPECT_EQ(tool({"delete", folder}), usageError("missing <id>"));
  EXPECT_EQ(tool({"delete", folder, "latest", "--space"}), usageError("unknown option --space"));
  EXPECT_EQ(tool({"delete", folder, "latest", "--yes"}),
            failed(1, "There are no saved redomarks for " + folder + "."));

  const std::vector<Listed> saved = savedTimes(folder, 4);
  ASSERT_EQ(saved.size(), 4u);
  // One bad id among good ones deletes nothing.
  EXPECT_EQ(tool({"delete", folder, saved[0].id, "nothing-like-it", "--yes"}),
            failed(1, "No saved redomark matches \"nothing-like-it\"."));
  EXPECT_EQ(tool({"delete", folder, "2", "--yes"}),
            failed(1, "\"2\" matches several redomarks: " + saved[0].id + ", " + saved[1].id + ", " + saved[2].id +
                          ", " + saved[3].id + "."));
  EXPECT_EQ(tool({"delete", folder, "latest"}),
            failed(1, "deleting needs confirmation: run it in a terminal or pass --yes"));
  EXPECT_EQ(listed(folder).size(), 4u);

  // The latest named twice, by "latest" and by its id, is asked about and deleted once.
  const std::vector<std::string> args = {"delete", folder, "latest", uniquePrefix(saved, 0), saved[3].id};
  const std::string prompt = promptFor(folder, {saved[0], saved[3]});
  // Judged as the restore prompt's answer is.
  for (const std::string typed : {"no\n", "\x04"}) {
    TerminalProcess declined(args, home.path());
    if (declined.readUntil("[y/N] ") != notShown) declined.type(typed);
    EXPECT_EQ(declined.wait(), (ToolRun{1, prompt + "redomark: not deleted\n", ""})) << typed;
  }
  EXPECT_EQ(listed(folder).size(), 4u);
  TerminalProcess accepted(args, home.path());
  ASSERT_NE(accepted.readUntil("[y/N] "), notShown);
  accepted.type("Yes\n");
  EXPECT_EQ(accepted.wait(),
            (ToolRun{0, prompt + "Deleted redomark " + saved[0].id + ".\nDeleted redomark " + saved[3].id + ".\n", ""}));
  EXPECT_EQ(listed(folder).size(), 2u);
  EXPECT_EQ(tool({"list", folder}).out, line(saved[2]) + "  1 files\n" + line(saved[1]) + "  1 files\n");

  // Busy while another operation holds the folder's lock.
  const std::string folderDirectory = CheckpointStore(defaultStore()).folderDirectory(folder);
  const int lock = open((folderDirectory + "/.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(tool({"delete", folder, "latest", "--yes"}),
            failed(1, "Another Redomark operation is already running on " + folder + ". Wait for it to finish."));
  close(lock);
  EXPECT_EQ(listed(folder).size(), 2u);

  // Without a prompt, of a folder that is gone; the last one takes the folder's directory with it.
  removeTree(folder);
  EXPECT_EQ(tool({"delete", folder, saved[2].id, saved[1].id, "--yes"}),
            (ToolRun{0, "Deleted redomark " + saved[1].id + ".\nDeleted redomark " + saved[2].id + ".\n", ""}));
  EXPECT_FALSE(pathExists(folderDirectory, false));
  EXPECT_EQ(tool({"list", folder}).out, "No saved redomarks for " + folder + " (the folder doesn't exist either).\n");
}

TEST_F(Managing, DeleteStopsAtACheckpointAnotherProcessDeletedMeanwhile) {
  const std::string folder = scratch / "site";
  makeDirectory(folder);
  writeFile(folder + "/page", "text");
  const std::vector<Listed> saved = savedTimes(folder, 4);
  ASSERT_EQ(saved.size(), 4u);

  // Deleted oldest first: when the older of the two goes, nothing is deleted;
  // when the newer goes, the older is deleted and stays deleted.
  for (const auto& [older, newer, gone] : {std::tuple{0, 3, 0}, {1, 3, 3}}) {
    TerminalProcess asking({"delete", folder, saved[newer].id, saved[older].id}, home.path());
    ASSERT_NE(asking.readUntil("[y/N] "), notShown);
    EXPECT_EQ(tool({"delete", folder, saved[gone].id, "--yes"}),
              (ToolRun{0, "Deleted redomark " + saved[gone].id + ".\n", ""}));
    asking.type("y\n");
    EXPECT_EQ(asking.wait(), (ToolRun{1,
                                      promptFor(folder, {saved[older], saved[newer]}) +
                                          (gone == older ? "" : "Deleted redomark " + saved[older].id + ".\n") + erase +
                                          "redomark: No saved redomark matches \"" + saved[gone].id + "\".\n",
                                      ""}));
  }
  const std::vector<Listed> left = listed(folder);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].id, saved[2].id);
  EXPECT_EQ(sortedNames(CheckpointStore(defaultStore()).folderDirectory(folder)),
            (std::vector<std::string>{".lock", saved[2].id}));
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
    for (Volume volume : {Volume::btrfs2, Volume::xfs}) {
      const std::string root = volumeRoot(volume);
      std::filesystem::remove_all(root + "/.redomark-checkpoints-" + uidText());
      std::filesystem::remove_all(root + "/.redomark-checkpoints/" + uidText());
    }
  }
  void ownedByUser(const std::string& path) const {
    ASSERT_EQ(lchown(path.c_str(), user, user), 0) << path;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
      ASSERT_EQ(lchown(entry.path().c_str(), user, user), 0) << entry.path();
  }
  std::string uidText() const { return std::to_string(user); }
  // The folder with one file, saved twice with the file rewritten in between,
  // so that its older checkpoint holds 64 KiB alone.
  void savedTwice(const std::string& folder) const {
    makeDirectory(folder);
    writeFile(folder + "/big", std::string(64 * 1024, 'a'));
    ownedByUser(folder);
    EXPECT_EQ(tool({"save", folder}).status, 0);
    writeFile(folder + "/big", std::string(64 * 1024, 'b'));
    EXPECT_EQ(tool({"save", folder}).status, 0);
  }
  std::string latestOf(const std::string& folder) const { return listed(folder).back().createdAt; }

  const uid_t user = 200000 + getpid() % 100000;
  ScratchDir onBtrfs2{Volume::btrfs2};
  ScratchDir onXfs{Volume::xfs};
};

TEST_F(FoldersOfOneUser, ListsTheDefaultStoreAndEveryVolumeOnceNewestFirst) {
  EXPECT_EQ(tool({"folders"}), (ToolRun{0, "No saved redomarks.\n", ""}));
  EXPECT_EQ(tool({"folders", "--json", "--space"}), (ToolRun{0, "[\n\n]\n", ""}));
  EXPECT_EQ(tool({"folders", "x"}).err, "redomark: unexpected argument \"x\"\n" + tool({"help"}).out);

  const std::string home1 = scratch / "site", old = onXfs / "old", moved = onXfs / "renamed";
  const std::string other = onBtrfs2 / "photos", notes = onXfs / "notes";
  savedTwice(old);
  savedTwice(home1);
  savedTwice(other);
  makeDirectory(notes);
  ownedByUser(notes);
  EXPECT_EQ(tool({"save", notes}).status, 0);
  ASSERT_EQ(rename(old.c_str(), moved.c_str()), 0);
  // A second mount of one volume leads to the same store, which is read once.
  const std::string bind = scratch / "bind";
  makeDirectory(bind);
  ASSERT_EQ(mount(volumeRoot(Volume::btrfs2).c_str(), bind.c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{bind};

  const auto entry = [&](const std::string& path, int count, bool gone, const std::string& uses) {
    return path + "  " + std::to_string(count) + " redomarks, latest " + localDate(latestOf(path)) + uses +
           (gone ? "  [folder gone]" : "") + "\n";
  };
  EXPECT_EQ(tool({"folders"}), (ToolRun{0,
                                          entry(notes, 1, false, "") + entry(other, 2, false, "") +
                                              entry(home1, 2, false, "") + entry(old, 2, true, ""),
                                          ""}));
  // Each folder's sum is the sum of what list measures for each of its
  // checkpoints: the 64 KiB rewritten since the older one, and their records.
  std::map<std::string, int64_t> sums;
  for (const std::string& path : {notes, other, home1, old}) {
    const std::string listedSpace = tool({"list", path, "--json", "--space"}).out;
    sums[path] = sumOfSpaceUsed(listedSpace);
    EXPECT_TRUE(dataAndFewRecords(sums[path], path == notes ? 0 : 65536, 2)) << listedSpace;
  }
  const auto uses = [&](const std::string& path) { return "  uses " + formatBytes(sums[path]); };
  EXPECT_EQ(tool({"folders", "--space"}).out, entry(notes, 1, false, uses(notes)) +
                                                    entry(other, 2, false, uses(other)) +
                                                    entry(home1, 2, false, uses(home1)) +
                                                    entry(old, 2, true, uses(old)));

  const auto json = [&](const std::string& path, int count, bool gone, const std::string& space) {
    return "  {\n    \"count\" : " + std::to_string(count) + ",\n    \"exists\" : " + (gone ? "false" : "true") +
           ",\n    \"latest\" : \"" + latestOf(path) + "\",\n    \"path\" : \"" + escapedSlashes(path) + "\"" + space +
           "\n  }";
  };
  EXPECT_EQ(tool({"folders", "--json"}), (ToolRun{0,
                                                    "[\n" + json(notes, 1, false, "") + ",\n" +
                                                        json(other, 2, false, "") + ",\n" + json(home1, 2, false, "") +
                                                        ",\n" + json(old, 2, true, "") + "\n]\n",
                                                    ""}));
  const std::string measured = tool({"folders", "--json", "--space"}).out;
  for (const std::string& path : {notes, other, home1, old}) {
    EXPECT_NE(measured.find("\"path\" : \"" + escapedSlashes(path) + "\",\n    \"spaceUsed\" : " +
                            std::to_string(sums[path]) + "\n"),
              notShown)
        << path << "\n" << measured;
  }

  // Root's own stores hold nothing of the user's.
  EXPECT_EQ(runTool({"folders"}, home.path()).out.find(onXfs.path()), notShown);
  // A store others may enter could hold records anyone made up: it is passed over.
  const std::string xfsStore = volumeRoot(Volume::xfs) + "/.redomark-checkpoints-" + uidText();
  ASSERT_EQ(chmod(xfsStore.c_str(), 0755), 0);
  EXPECT_EQ(tool({"folders"}).out, entry(other, 2, false, "") + entry(home1, 2, false, ""));
}

TEST_F(Managing, SettingsAreShownWrittenPrivatelyAndFollowedByTheNextSave) {
  const std::string path = settingsFile();
  const std::string timeline = ",\"keepDaily\":7,\"keepHourly\":24,\"keepMonthly\":12,\"keepWeekly\":4";
  EXPECT_EQ(tool({"settings"}),
            (ToolRun{0, "Settings: " + path + " (not written yet, so the defaults apply)\n" + defaults, ""}));
  EXPECT_EQ(tool({"settings", "--json"}),
            (ToolRun{0, "{\n  \"keepDaily\" : 7,\n  \"keepHourly\" : 24,\n  \"keepMonthly\" : 12,\n  \"keepPerFolder\" : 5,\n  \"keepWeekly\" : 4,\n  \"maxTotalBytes\" : 10737418240\n}\n", ""}));

  const std::string keep = "--keep needs a whole number, 0 or more, not \"";
  const std::string age = "--max-age needs a whole number of days or none, not \"";
  const std::string budget = "--budget needs a size such as 5000000000 or 5GB, or none, not \"";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--keep", "-1"}, keep + "-1\""},
      {{"--keep", ""}, keep + "\""},
      {{"--keep", "2.5"}, keep + "2.5\""},
      {{"--keep", "99999999999999999999"}, keep + "99999999999999999999\""},
      {{"--max-age", "never"}, age + "never\""},
      {{"--budget", "5 GB"}, budget + "5 GB\""},
      {{"--budget", "5gb"}, budget + "5gb\""},
      {{"--budget", "9999999TB"}, budget + "9999999TB\""},
      {{"--keep", "3", "--budget", "-1"}, budget + "-1\""},
      {{"--keep"}, "--keep needs a value"},
      {{"--hourly", "-1"}, "--hourly needs a whole number, 0 or more, not \"-1\""},
      {{"--daily", "x"}, "--daily needs a whole number, 0 or more, not \"x\""},
      {{"--weekly", ""}, "--weekly needs a whole number, 0 or more, not \"\""},
      {{"--monthly", "1.5"}, "--monthly needs a whole number, 0 or more, not \"1.5\""},
  };
  for (const auto& [options, message] : refused) {
    std::vector<std::string> args = {"settings"};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_EQ(tool(args), failed(2, message)) << options.front();
  }
  EXPECT_EQ(tool({"settings", "now"}).err, "redomark: unexpected argument \"now\"\n" + tool({"help"}).out);
  EXPECT_EQ(tool({"settings", "--space"}).err, "redomark: unknown option --space\n" + tool({"help"}).out);
  EXPECT_FALSE(pathExists(path)) << "a refused value was written";

  // Written over a file anyone could read, which it replaces.
  createDirectories(parentPath(path));
  writeFile(path, "{\"keepPerFolder\":9}");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(tool({"settings", "--keep", "2", "--budget", "5GB", "--max-age", "none"}),
            (ToolRun{0,
                     "Settings: " + path +
                         "\nKeep: the 2 newest redomarks you saved of each folder\nAge limit: none\n"
                         "Budget for each store: 5 GB (5000000000 bytes)\n" + automatic,
                     ""}));
  EXPECT_EQ(readWholeFile(path), "{\"keepPerFolder\":2,\"maxTotalBytes\":5000000000" + timeline + "}");
  EXPECT_EQ(permissions(path), 0600u);
  EXPECT_EQ(sortedNames(parentPath(path)), std::vector<std::string>{"settings.json"});
  // Limits not named keep their values.
  EXPECT_EQ(tool({"settings", "--budget", "none", "--json"}), (ToolRun{0, "{\n  \"keepDaily\" : 7,\n  \"keepHourly\" : 24,\n  \"keepMonthly\" : 12,\n  \"keepPerFolder\" : 2,\n  \"keepWeekly\" : 4\n}\n", ""}));
  EXPECT_EQ(readWholeFile(path), "{\"keepPerFolder\":2" + timeline + "}");

  // A save reads them back: two kept, then an age limit of 0 keeps only the latest.
  const std::string folder = scratch / "site";
  makeDirectory(folder);
  writeFile(folder + "/page", "text");
  const std::vector<Listed> first = savedTimes(folder, 2);
  const ToolRun third = tool({"save", folder});
  EXPECT_EQ(third, (ToolRun{0,
                            savedLine(savedId(third), folder, "1 files, 4 bytes") + "Removed older redomark " +
                                first[0].id + " to stay within your limits.\n" + notABackup,
                            ""}));
  EXPECT_EQ(tool({"settings", "--max-age", "0"}).out,
            "Settings: " + path + "\nKeep: the 2 newest redomarks you saved of each folder\nAge limit: 0 days\n"
            "Budget for each store: none\n" + automatic);
  const ToolRun fourth = tool({"save", folder});
  EXPECT_EQ(fourth, (ToolRun{0,
                             savedLine(savedId(fourth), folder, "1 files, 4 bytes") + "Removed older redomark " +
                                 first[1].id + " to stay within your limits.\nRemoved older redomark " +
                                 savedId(third) + " to stay within your limits.\n" + notABackup,
                             ""}));
  EXPECT_EQ(listed(folder).size(), 1u);
  EXPECT_EQ(tool({"settings", "--hourly", "0", "--daily", "1", "--weekly", "2", "--monthly", "3"}).out,
            "Settings: " + path + "\nKeep: the 2 newest redomarks you saved of each folder\nAge limit: 0 days\n"
            "Budget for each store: none\nAutomatic redomarks: the newest of each of the last 0 hours, 1 days, 2 weeks "
            "and 3 months\n");
  EXPECT_EQ(readWholeFile(path), "{\"keepPerFolder\":2,\"maxAgeDays\":0,\"keepDaily\":1,\"keepHourly\":0,"
                                 "\"keepMonthly\":3,\"keepWeekly\":2}");

  // The byte budget takes the oldest checkpoints of any folder, and names
  // the folder of one that is not the saved one's.
  EXPECT_EQ(tool({"settings", "--max-age", "none"}).status, 0);
  const std::string other = scratch / "other";
  makeDirectory(other);
  writeFile(other + "/page", "text");
  const std::vector<Listed> others = savedTimes(other, 2);
  EXPECT_EQ(tool({"settings", "--budget", "1"}).status, 0);
  const ToolRun fifth = tool({"save", folder});
  EXPECT_EQ(fifth, (ToolRun{0,
                            savedLine(savedId(fifth), folder, "1 files, 4 bytes") + "Removed older redomark " +
                                savedId(fourth) + " to stay within your limits.\nRemoved older redomark " +
                                others[0].id + " of " + other + " to stay within your limits.\n" + notABackup,
                            ""}));
}

TEST_F(Managing, AnUnusableSettingsFileIsNamedBySettingsAndBySaveWhichKeepTheDefaults) {
  const std::string path = settingsFile();
  createDirectories(parentPath(path));
  const std::string folder = scratch / "site";
  makeDirectory(folder);
  writeFile(folder + "/page", "text");
  // Used, the first of these would have the second save remove the first;
  // under the default limits none of the four saves removes anything.
  const std::vector<std::tuple<std::string, std::string, int>> unusable = {
      {"{\"keepPerFolder\":1,\"maxAgeDays\":\"7\"}", "\"maxAgeDays\" must be a whole number", 2},
      {"{\"maxAgeDays\":0}", "\"keepPerFolder\" is missing", 1},
      {"keepPerFolder = 1", "it isn't JSON", 1},
  };
  for (const auto& [content, why, saves] : unusable) {
    writeFile(path, content);
    EXPECT_EQ(tool({"settings"}),
              (ToolRun{0, "Settings: " + path + " (it can't be used: " + why + ", so the defaults apply)\n" + defaults,
                       ""}));
    for (int i = 0; i < saves; ++i) {
      const ToolRun save = tool({"save", folder});
      EXPECT_EQ(save, (ToolRun{0, savedLine(savedId(save), folder, "1 files, 4 bytes") + notABackup,
                               "redomark: " + path + " can't be used (" + why + "), so the default limits apply.\n"}));
    }
  }
  EXPECT_EQ(listed(folder).size(), 4u);

  // Changing one limit starts from the defaults, not from the unusable file.
  EXPECT_EQ(tool({"settings", "--keep", "3", "--json"}),
            (ToolRun{0, "{\n  \"keepDaily\" : 7,\n  \"keepHourly\" : 24,\n  \"keepMonthly\" : 12,\n  \"keepPerFolder\" : 3,\n  \"keepWeekly\" : 4,\n  \"maxTotalBytes\" : 10737418240\n}\n", ""}));
  const ToolRun kept = tool({"save", folder});
  EXPECT_EQ(kept.err, "");
  EXPECT_EQ(std::count(kept.out.begin(), kept.out.end(), '\n'), 4) << kept.out;
  EXPECT_EQ(listed(folder).size(), 3u);

  // A folder in the file's place can be neither read nor replaced.
  removeTree(path);
  makeDirectory(path);
  EXPECT_EQ(tool({"settings"}).out, "Settings: " + path +
                                        " (it can't be used: it isn't a regular file of yours, so the defaults apply)\n" +
                                        defaults);
  EXPECT_EQ(tool({"settings", "--keep", "1"}), failed(1, "Couldn't write " + path + ": Is a directory"));
  EXPECT_EQ(sortedNames(parentPath(path)), (std::vector<std::string>{"Checkpoints", "settings.json"}))
      << "a temporary file was left";
}

}  // namespace
}  // namespace redomark::testing
