// The built tool end to end: exact output and status of save, list, diff and
// restore, and what they leave on disk; then the undo points it takes without
// a save typed for each: save --if-changed and --auto with the timeline's
// thinning, and run around a command; last, show and the extended diff.
#include <sys/mount.h>

#include <atomic>
#include <csignal>
#include <fstream>

#include "core/fs/subvolume.h"
#include "core/fs/volume.h"
#include "core/store/held_checkpoint.h"
#include "redomark/reports.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

constexpr int64_t savedTime = 1733339700123456789;  // 2024-12-04T19:15:00Z

TEST_F(CommandLine, UsageVersionAndArgumentErrorsTouchNothing) {
  const std::string usage = tool({"help"}).out;
  EXPECT_TRUE(
      usage.starts_with("Usage:\n  redomark save <path> [--name \"<text>\"] [--if-changed] [--auto] [--json]\n") &&
      usage.ends_with("\n\nA redomark is an undo point on the same disk. It is not a backup.\n"))
      << usage;
  const auto usageError = [&](const std::string& message) {
    return ToolRun{2, "", "redomark: " + message + "\n" + usage};
  };
  expectRuns(
      {{{}, {2, usage, ""}},
       {{"--help"}, ok(usage)},
       {{"--version"}, ok("redomark 0.1.0\n")},
       {{"List", "x"}, usageError("unknown command \"List\"")},
       {{"list"}, usageError("missing <path>")},
       // Nothing typed reaches the terminal as a control sequence or bytes that aren't UTF-8; the rest passes as it is.
       {{"list", "a", "b\x1b]0;x\a\x7f \u0085 \u009f \u00a0 \xff x \xe2\x82 \x80 \xed\xa0\x80 caf\u00e9 \U0001F600"},
        usageError("unexpected argument \"b\\x1b]0;x\\x07\\x7f \\xc2\\x85 \\xc2\\x9f \u00a0 \\xff x \\xe2\\x82 \\x80 "
                   "\\xed\\xa0\\x80 caf\u00e9 \U0001F600\"")},
       {{"restore", "x", "--space"}, usageError("unknown option --space")},
       {{"save", "x", "--name"}, failed(2, "--name needs a value")},
       {{"delete", "x"}, usageError("missing <id>")},
       {{"run", "x"}, usageError("missing <command>")},
       {{"settings", "--keep", "-1"}, failed(2, "--keep needs a whole number, 0 or more, not \"-1\"")},
       {{"settings", "--max-age", "never"}, failed(2, "--max-age needs a whole number of days or none, not \"never\"")},
       {{"settings", "--keep", "3", "--budget", "5gb"},
        failed(2, "--budget needs a size such as 5000000000 or 5GB, or none, not \"5gb\"")}});
  EXPECT_FALSE(pathExists(home.path() + "/.local")) << "a usage error touched the store or the settings";
}

// Its name makes the build run it alone: nothing else may write to a volume while it reads the space used.
TEST_F(CommandLine, SaveUsesTheStoreOfTheFoldersVolumeWhereAFreshCheckpointUsesWhatItsSaveTookFromTheDisk) {
  const std::string data(64 * 1024, 'd');
  writeFiles(home / "site", {{"f", data}});
  ASSERT_EQ(symlink("f", (home / "site/link").c_str()), 0);
  const ToolRun run = tool({"save", "~/site", "--name", "--json"});
  EXPECT_EQ(run, ok(savedLine(savedId(run), home / "site", "2 files, 66 KB") + notABackup));
  // What a fresh checkpoint uses alone (only the copies' own records) is, within a quarter, what its save took from
  // the disk: on XFS beside 5000 sparse files of a MB, on Btrfs for 10000 files of 0 to 3 KB.
  const auto measuredSave = [&](const std::string& folder, const std::vector<std::string>& args) {
    const auto used = [&] { return std::stoll(outputOf("sync; sync; df -B1 --output=used " + folder + " | tail -1")); };
    const int64_t before = used();
    const ToolRun run = tool(args);
    return std::pair(run, used() - before);
  };
  ScratchDir folder(Volume::xfs), small(Volume::btrfs2);
  writeFile(folder / "f", data);
  emptyFiles(folder / "d", 5000);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(truncate((folder / "d/" + std::to_string(i)).c_str(), 1 << 20), 0);
  const auto [other, took] = measuredSave(folder.path(), {"save", "--name", "A", folder.path(), "--name", "B"});
  EXPECT_EQ(other, ok(savedLine(savedId(other), folder.path(), "5001 files, 5.24 GB") + notABackup));
  EXPECT_NEAR(spaceUsed(folder.path()).at(0), took, took / 4);
  for (int i = 0; i < 10000; ++i) std::ofstream(small / std::to_string(i)) << std::string(i * 7919 % 3001, 'x');
  const int64_t smallTook = measuredSave(small.path(), {"save", small.path()}).second;
  EXPECT_NEAR(spaceUsed(small.path()).at(0), smallTook, smallTook / 4);
  removeTree(CheckpointStore(volumeStoreRoot(volumeRoot(Volume::btrfs2))).folderDirectory(small.path()));
  const std::string store = CheckpointStore(volumeStoreRoot(volumeRoot(Volume::xfs))).folderDirectory(folder.path());
  EXPECT_EQ(readFile(store + "/" + savedId(other) + "/data/f"), data);
  EXPECT_EQ(tool({"list", folder.path()}).out, line(listed(folder.path()).at(0), "  \"B\"") + "  5001 files\n");
  removeTree(store);
  EXPECT_EQ(sortedNames(defaultStore()),
            (std::vector<std::string>{".metadata_never_index", "CACHEDIR.TAG", folderKey(home / "site")}));
  // A tree of items of its own on Btrfs, for a restore's two copies to be made side by side.
  EXPECT_TRUE(isSubvolume(DirectoryHandle::open(defaultStore()).value()));
}

TEST_F(CommandLine, RefusedSavesSayWhyAndLeaveTheStoreAlone) {
  const std::string folder = scratch.path(), cheaply = "This disk can't save redomarks cheaply: it is ";
  ScratchDir onExt4(Volume::noClone);
  const std::string ext4Store = volumeStoreRoot(readVolumeInfo(onExt4.path()).mountPoint);
  const bool ext4StoreExisted = pathExists(ext4Store);
  writeFile(folder + "/plain", "x");
  makeDirectory(folder + "/disk");
  makeDirectory(folder + "/odd\xff\x1b");
  ASSERT_EQ(mount("tmpfs", (folder + "/disk").c_str(), "tmpfs", 0, "size=1m"), 0);
  const std::pair<std::string, std::string> cases[] = {
      {onExt4.path(), cheaply + "ext4, not Btrfs or XFS."},
      {folder + "/missing", "Couldn't read " + folder + "/missing: No such file or directory"},
      {folder + "/plain", folder + "/plain is not a folder."},
      {folder + "/odd\xff\x1b", folder + "/odd\\xff\\x1b can't be saved: its path isn't valid UTF-8 text."},
      {folder, folder + "/disk contains another disk (a mount point), which can't be saved together with it."},
      // A disk that can hold no store is named as the cause, whatever the folder holds.
      {folder + "/disk", cheaply + "tmpfs, not Btrfs or XFS."},
  };
  for (const auto& [path, message] : cases) EXPECT_EQ(tool({"save", path}), failed(1, message));
  umount2((folder + "/disk").c_str(), MNT_DETACH);
  ASSERT_EQ(mkfifo((folder + "/disk/pipe").c_str(), 0600), 0);
  EXPECT_EQ(tool({"save", folder + "/disk"}),
            failed(1, folder + "/disk/pipe is a socket, pipe or device file, which Redomark can't save. Move it out of "
                               "the folder first."));
  // The disk is judged before any store is made on it.
  EXPECT_EQ(pathExists(ext4Store), ext4StoreExisted);
  EXPECT_FALSE(pathExists(CheckpointStore(ext4Store).folderDirectory(onExt4.path())));
  // Another user's private folder is refused for what it is.
  makeDirectory(folder + "/private");
  ASSERT_EQ(chmod((folder + "/private").c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  EXPECT_EQ(runTool({"save", folder + "/private"}, home.path(), asUid(65534)),
            failed(1, "Redomark isn't allowed to read " + folder + "/private. Check its permissions, then try again."));
  EXPECT_EQ(sortedNames(defaultStore()), (std::vector<std::string>{".metadata_never_index", "CACHEDIR.TAG"}));
}

TEST_F(CommandLine, SaveNotesCopiedAndChangingFiles) {
  const std::string folder = scratch / "copied";
  writeFiles(folder, {{"f", std::string(64 * 1024, 'n')}});
  // The tracer refuses every clone, so saving must copy the file.
  const std::string copied = "Note: 1 file(s) had to be copied instead of shared and use real disk space.\n";
  const ToolRun copiedRun = runTool({"save", folder}, home.path(), tracer({"ioctl:error=EOPNOTSUPP"}));
  EXPECT_EQ(copiedRun, ok(savedLine(savedId(copiedRun), folder, "1 files, 66 KB") + copied + notABackup));

  // 110 files grow all through a save that takes a while: the report counts the hundred that are kept and names five.
  const std::string busy = scratch / "busy";
  emptyFiles(busy + "/fill", 3000);
  std::vector<int> growing;
  for (int i = 100; i < 210; ++i)
    growing.push_back(open((busy + "/g" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    while (!stop)
      for (int fd : growing) EXPECT_EQ(write(fd, "x", 1), 1);
  });
  const ToolRun run = tool({"save", busy});
  stop = true;
  writer.join();
  for (int fd : growing) close(fd);
  const std::string report =
      "Saved redomark \\S+ of \\S+/busy \\(3110 files, [^;]+; it shares the data, but the copies' own file records "
      "take about [0-9.]+ MB\\)\\.\nNote: 100 file\\(s\\) changed while saving, so they may be half old, half "
      "new: (g[12][0-9]{2}, ){4}g[12][0-9]{2}\n";
  EXPECT_TRUE(run.status == 0 && run.err.empty() && std::regex_match(run.out, std::regex(report + notABackup)))
      << run.out << run.err;
}

TEST_F(CommandLine, ListShowsNewestFirstWithSpaceAndJson) {
  const std::string folder = scratch / "site";
  EXPECT_EQ(tool({"list", folder + "//"}),
            ok("No saved redomarks for " + folder + " (the folder doesn't exist either).\n"));
  // Larger than Btrfs keeps inline, so a fresh checkpoint shares every byte
  // and holds only its records alone.
  writeFiles(folder, {{"big", std::string(64 * 1024, 'a')}});
  expectRuns({{{"list", folder}, ok("No saved redomarks for this folder.\n")},
              {{"list", folder, "--json", "--space"}, ok("[\n\n]\n")}});
  saved(folder, {"--name", ""});
  writeFile(folder + "/big", std::string(64 * 1024, 'b'));
  saved(folder);
  const std::vector<Listed> both = listed(folder);
  const std::vector<int64_t> used = spaceUsed(folder);
  ASSERT_EQ(both.size() + used.size(), 4u);
  // The older one's data is its own now; their records differ only by the older one's name.
  EXPECT_TRUE(dataAndFewRecords(used[1], 0)) << used[1];
  EXPECT_TRUE(used[0] - used[1] >= 65536 && used[0] - used[1] < 65536 + 64) << used[0] << " " << used[1];
  EXPECT_EQ(tool({"list", folder, "--space"}),
            ok(line(both[1]) + "  1 files  uses " + formatBytes(used[1]) + "\n" + line(both[0], "  \"\"") +
               "  1 files  uses " + formatBytes(used[0]) + "\n"));
  // One element of list --json; a space below 0 is absent.
  const auto json = [&](const Listed& c, bool named, int64_t space) {
    return "  {\n    \"changedWhileSaving\" : [\n\n    ],\n    \"createdAt\" : \"" + c.createdAt +
           "\",\n    \"fileCount\" : 1,\n    \"id\" : \"" + c.id + "\",\n    \"kind\" : \"manual\",\n" +
           (named ? "    \"name\" : \"\",\n" : "") + "    \"notClonedCount\" : 0,\n    \"sourcePath\" : \"" +
           std::regex_replace(folder, std::regex("/"), "\\/") + "\",\n" +
           (space < 0 ? "" : "    \"spaceUsed\" : " + std::to_string(space) + ",\n") +
           "    \"totalBytes\" : 65536\n  }";
  };
  expectRuns(
      {{{"list", folder, "--json"}, ok("[\n" + json(both[0], true, -1) + ",\n" + json(both[1], false, -1) + "\n]\n")},
       {{"list", "--space", folder, "--json"},
        ok("[\n" + json(both[0], true, used[0]) + ",\n" + json(both[1], false, used[1]) + "\n]\n")}});
  // A folder that is gone still finds its checkpoints through its parent's volume.
  removeTree(folder);
  EXPECT_EQ(tool({"list", folder}), ok(line(both[1]) + "  1 files\n" + line(both[0], "  \"\"") + "  1 files\n"));
}

// Also: names, the redomark's own included, can neither move the cursor nor fake a line.
TEST_F(CommandLine, DiffPrintsEveryKindOfChangeInTextOrder) {
  const std::string folder = scratch.path();
  EXPECT_EQ(tool({"diff", folder}), failed(1, "There are no saved redomarks for " + folder + "."));
  writeFiles(folder, {{"a", "y\n"}, {"a-b", std::string(64 * 1024, 'o')}, {"a0", "0\n"}, {"same", "s"}});
  setMtimeNs(folder + "/a-b", savedTime);
  saved(folder, {"--name", "week\x1b]0;owned\x07"});
  const std::string header = "Changes since " + line(listed(folder).at(0), "  \"week\\x1b]0;owned\\x07\"") + ":\n";

  // Same size, a nanosecond newer.
  writeFile(folder + "/a-b", std::string(64 * 1024, 'n'));
  setMtimeNs(folder + "/a-b", savedTime + 1);
  for (const char* gone : {"/a", "/a0"}) ASSERT_EQ(unlink((folder + gone).c_str()), 0);
  const std::string fake = "x\nChanges since yesterday:\n  none",
                    fakeShown = "x\\x0aChanges since yesterday:\\x0a  none";
  writeFiles(folder, {{"a/b", "in\n"}, {"a b", "new\n"}, {fake, "f"}, {"\x1b[2Jclear", "c"}});
  makeDirectory(folder + "/z");
  const std::string changes = header + "  + \\x1b[2Jclear  (1 byte)\n  ~ a/\n  + a b  (4 bytes)\n  ~ a-b  (66 KB)\n" +
                              "  + a/b  (3 bytes)\n  - a0  (2 bytes)\n  + " + fakeShown + "  (1 byte)\n  + z/\n";
  // One element of diff --json; a size below 0 is absent.
  const auto change = [](const std::string& path, const std::string& kind, bool directory, int64_t now, int64_t was) {
    return "  {\n" + (now < 0 ? "" : "    \"currentSize\" : " + std::to_string(now) + ",\n") +
           "    \"isDirectory\" : " + (directory ? "true" : "false") + ",\n    \"kind\" : \"" + kind +
           "\",\n    \"path\" : \"" + path + "\"" + (was < 0 ? "" : ",\n    \"savedSize\" : " + std::to_string(was)) +
           "\n  },\n";
  };
  const std::string json = change("\\u001b[2Jclear", "added", false, 1, -1) + change("a", "modified", true, 0, 2) +
                           change("a b", "added", false, 4, -1) + change("a-b", "modified", false, 65536, 65536) +
                           change("a\\/b", "added", false, 3, -1) + change("a0", "deleted", false, -1, 2) +
                           change("x\\nChanges since yesterday:\\n  none", "added", false, 1, -1) +
                           change("z", "added", true, 0, -1);
  expectRuns({{{"diff", folder}, ok(changes)},
              {{"diff", "--json", folder}, ok("[\n" + json.substr(0, json.size() - 2) + "\n]\n")}});
}

TEST_F(CommandLine, RestorePutsBackTheFolderOrOneItem) {
  const std::string folder = scratch / "a/project", trash = home / ".local/share/Trash/files/";
  writeFiles(
      folder,
      {{"readme.txt", "hello\n"}, {"src/main.cpp", "int main() {}\n"}, {"src/deep/data.bin", std::string(70000, 'x')}});
  ASSERT_EQ(symlink("src/main.cpp", (folder + "/link").c_str()), 0);
  ASSERT_EQ(chmod((folder + "/src/deep").c_str(), 0750), 0);
  const std::string id = saved(folder);
  const TreeSnapshot before = snapshotTree(folder);
  writeFiles(folder, {{"readme.txt", "changed\n"}, {"added", "new"}});
  removeTree(folder + "/src");
  createDirectories(folder + "/src");
  const TreeSnapshot edited = snapshotTree(folder);
  Rows refused = {
      {{"restore", folder}, failed(1, "restoring needs confirmation: run it in a terminal or pass --yes")},
      {{"restore", folder, "--file", "no//such/", "--yes"}, failed(1, "\"no/such\" is not in that redomark.")}};
  for (const std::string bad : {"../x", "/x", "./x", "src/../readme.txt", "/"})
    refused.push_back({{"restore", folder, "--file", bad, "--yes"},
                       failed(1, "\"" + bad + "\" is not a valid path inside the folder.")});
  expectRuns(refused);
  EXPECT_EQ(snapshotTree(folder), edited);

  // One item: its parents are made, a changed one goes to the Trash, an unchanged one stays the same file.
  const auto putBack = [&](const std::string& item, const std::string& replaced = "") {
    return ok("Restored \"" + item + "\" in " + folder + " to " + id + ".\n" +
              (replaced.empty() ? "" : "The replaced copy is at " + trash + replaced + " (replaced by Redomark).\n"));
  };
  expectRuns({{{"restore", folder, "--file", "src//deep/data.bin/", "--yes"}, putBack("src//deep/data.bin/")},
              {{"restore", folder, "--file", "readme.txt", "--yes"}, putBack("readme.txt", "readme.txt")},
              {{"restore", folder, id, "--file", "src/main.cpp", "--yes"}, putBack("src/main.cpp")}});
  EXPECT_EQ(readFile(trash + "readme.txt (replaced by Redomark)"), "changed\n");
  writeFile(folder + "/src/deep/extra", "x");
  EXPECT_EQ(tool({"restore", folder, "--file", "src", "--yes"}), putBack("src", "src"));
  EXPECT_TRUE(pathExists(trash + "src (replaced by Redomark)/deep/extra"));
  TreeSnapshot now = snapshotTree(folder), expected = before;
  now.erase(""), now.erase("added"), expected.erase("");
  EXPECT_EQ(now, expected);
  EXPECT_EQ(listed(folder).size(), 1u) << "putting back one item saves nothing";

  // A link among the parents would lead outside the folder.
  const std::string outside = scratch / "outside";
  createDirectories(outside);
  ASSERT_EQ(rename((folder + "/src").c_str(), (outside + "/src").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/src").c_str(), (folder + "/src").c_str()), 0);
  ASSERT_EQ(unlink((outside + "/src/main.cpp").c_str()), 0);
  EXPECT_EQ(tool({"restore", folder, "--file", "src/main.cpp", "--yes"}),
            failed(1, "\"src/main.cpp\" is not a valid path inside the folder."));
  EXPECT_FALSE(pathExists(outside + "/src/main.cpp"));

  // The whole folder (its message is the terminal test's), then one that is gone: it comes back with its parents,
  // and nothing is saved first.
  ASSERT_EQ(tool({"restore", folder, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), before);
  removeTree(scratch / "a");
  EXPECT_EQ(tool({"restore", folder, id, "--yes"}), ok("Restored " + folder + " to " + id + ".\n"));
  EXPECT_EQ(snapshotTree(folder), before);
  EXPECT_EQ(listed(folder).size(), 2u);
  EXPECT_EQ(leftoverNames(scratch / "a"), std::vector<std::string>{});
}

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

// show and the extended diff through the built tool, on Btrfs and XFS: exact
// bytes, patches as GNU diff prints them, errors, and nothing changed on disk.
// Names are their bytes: spellings that Unicode calls equivalent, and names
// that differ only in bytes that aren't UTF-8, are different items everywhere.
// What GNU diff itself prints for the pair, with the labels of a patch.
std::string gnuDiff(const std::string& before, const std::string& after, const std::string& beforeLabel,
                    const std::string& afterLabel) {
  return outputOf("LC_ALL=C /usr/bin/diff -u --label '" + beforeLabel + "' --label '" + afterLabel + "' '" + before +
                  "' '" + after + "'");
}

TEST_F(CommandLine, ShowAndDiffReadThePastWithoutChangingIt) {
  for (Volume volume : {Volume::btrfs, Volume::xfs}) {
    ScratchDir scratchFolder(volume);
    const std::string folder = scratchFolder.path();
    writeFiles(folder, {{"a.txt", "one\ntwo\nthree\n"},
                        {"bin", std::string("x\0y", 3)},
                        {"odd/n\xff\x65", "bad"},
                        {"odd/x.txt", ""},
                        {"sub/deep/d.txt", "deep\n"}});
    ASSERT_EQ(symlink("a.txt", (folder + "/link").c_str()), 0);
    setMtimeNs(folder + "/bin", savedTime);
    saved(folder, {"--name", "first"});
    writeFiles(folder, {{"a.txt", "one\n2\nthree\nfour\n"}, {"bin", std::string("x\0z", 3)}, {"sub/new.txt", "new\n"}});
    setMtimeNs(folder + "/bin", savedTime + 1);
    ASSERT_EQ(unlink((folder + "/sub/deep/d.txt").c_str()), 0);
    saved(folder);
    const std::vector<Listed> ids = listed(folder);
    ASSERT_EQ(ids.size(), 2u);
    const std::string first = ids[0].id, second = ids[1].id;
    const std::string from = line(ids[0], "  \"first\""), to = line(ids[1]);
    const CheckpointStore store = storeForFolder(folder, defaultStore());
    const auto inSaved = [&](const std::string& id, const std::string& item) {
      return store.folderDirectory(folder) + "/" + id + "/data/" + item;
    };
    const TreeSnapshot folderBefore = snapshotTree(folder), storeBefore = snapshotTree(store.root());

    const std::string between =
        "  ~ a.txt  (17 bytes)\n  ~ bin  (3 bytes)\n  - sub/deep/d.txt  (5 bytes)\n  + sub/new.txt  (4 bytes)\n";
    const std::string patches =
        "  ~ a.txt  (17 bytes)\n" + gnuDiff(inSaved(first, "a.txt"), inSaved(second, "a.txt"), "a/a.txt", "b/a.txt") +
        "  ~ bin  (3 bytes)\n" + gnuDiff(inSaved(first, "bin"), inSaved(second, "bin"), "a/bin", "b/bin") +
        "  - sub/deep/d.txt  (5 bytes)\n" +
        gnuDiff(inSaved(first, "sub/deep/d.txt"), "/dev/null", "a/sub/deep/d.txt", "/dev/null") +
        "  + sub/new.txt  (4 bytes)\n" +
        gnuDiff("/dev/null", inSaved(second, "sub/new.txt"), "/dev/null", "b/sub/new.txt");
    expectRuns({
        {{"show", folder, first, "--file", "bin"}, {0, std::string("x\0y", 3), ""}},
        {{"show", folder, first}, {0, "a.txt  (14 bytes)\nbin  (3 bytes)\nlink -> a.txt\nodd/\nsub/\n", ""}},
        {{"show", folder, first, "--file", "odd"}, {0, "n\\xffe  (3 bytes)\nx.txt  (0 KB)\n", ""}},
        {{"show", folder, "--file", "link"}, {0, "a.txt\n", ""}},
        {{"show", folder, "--file", "bin", "--json"}, failed(2, "--json can't be used to print a file")},
        {{"diff", folder, first, second}, {0, "Changes from " + from + " to " + to + ":\n" + between, ""}},
        {{"diff", folder, first, second, "--patch"}, {0, "Changes from " + from + " to " + to + ":\n" + patches, ""}},
        {{"diff", folder, first, second, "--file", "sub/"},
         {0, "Changes in \"sub\" from " + from + " to " + to + ":\n" + between.substr(between.find("  -")), ""}},
        {{"diff", folder, first, "--file", "nowhere"}, {0, "Changes in \"nowhere\" since " + from + ":\n  none\n", ""}},
        {{"diff", folder, "--patch", "--json"}, failed(2, "--patch can't be combined with --json")},
    });
    EXPECT_EQ(snapshotTree(folder), folderBefore);
    EXPECT_EQ(snapshotTree(store.root()), storeBefore);

    // A checkpoint withdrawn while it is held is reported as deleted, never as lacking an item.
    const HeldCheckpoint held(store, store.resolve(first, folder));
    const std::string dir = store.folderDirectory(folder) + "/";
    ASSERT_EQ(rename((dir + first).c_str(), (dir + ".deleting-" + first).c_str()), 0);
    EXPECT_EQ(errorOf([&] { held.confirmWhole(); }), RedomarkError::checkpointDeleted());
  }
}

const std::string composed = "caf\u00e9", decomposed = "cafe\u0301", brokenA = "x\xff", brokenB = "x\xfe";

class NamesAsBytes : public CommandLine, public ::testing::WithParamInterface<Volume> {
 protected:
  NamesAsBytes() : CommandLine(GetParam()) {}
  std::string folder = scratch / "names";
};

TEST_P(NamesAsBytes, EveryItemKeepsItsOwnBytesThroughSaveDiffAndRestore) {
  writeFiles(folder, {{composed, composed},
                      {decomposed, decomposed},
                      {brokenA, brokenA},
                      {brokenB, brokenB},
                      {"dir\xff/inner", "in"}});
  const TreeSnapshot before = snapshotTree(folder);

  const ToolRun save = tool({"save", folder, "--name", "week\xff"});
  EXPECT_EQ(save, ok(savedLine(savedId(save), folder, "5 files, 17 bytes") + notABackup))
      << "no item may look changed while saving";
  const Listed first = listed(folder).at(0);
  const std::string header = "Changes since " + line(first, "  \"week\uFFFD\"") + ":\n";

  for (const std::string& gone : {decomposed, brokenB}) ASSERT_EQ(unlink((folder + "/" + gone).c_str()), 0);
  writeFile(folder + "/" + brokenA, "changed");
  EXPECT_EQ(tool({"diff", folder}),
            ok(header + "  - cafe\u0301  (6 bytes)\n  - x\\xfe  (2 bytes)\n  ~ x\\xff  (7 bytes)\n"));

  // One item by its raw bytes, then the whole folder.
  EXPECT_EQ(tool({"restore", folder, "--file", brokenB, "--yes"}),
            ok("Restored \"x\\xfe\" in " + folder + " to " + first.id + ".\n"));
  EXPECT_EQ(readFile(folder + "/" + brokenB) + readFile(folder + "/" + brokenA), brokenB + "changed");
  ASSERT_EQ(tool({"restore", folder, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), before);

  // A name too long to take " (replaced by Redomark)" whole: what it replaced never stays behind under a hidden name.
  const std::string longName(240, 'n');
  writeFile(folder + "/" + longName, "old");
  saved(folder);
  writeFile(folder + "/" + longName, "new");
  EXPECT_EQ(tool({"restore", folder, "--file", longName, "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/" + longName), "old");
  for (const std::string& name : sortedNames(folder)) EXPECT_FALSE(name.starts_with(".redomark-restore-")) << name;
}

INSTANTIATE_TEST_SUITE_P(Volumes, NamesAsBytes, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "Btrfs" : "Xfs"; });

}  // namespace
}  // namespace redomark::testing
