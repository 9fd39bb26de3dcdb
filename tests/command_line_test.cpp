// The built tool end to end: exact output and status of save, list, diff and
// restore, and what they leave on disk.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <regex>
#include <set>
#include <thread>

#include "core/fs/volume.h"
#include "core/operations/redomark.h"
#include "core/store/checkpoint_store.h"
#include "redomark/reports.h"
#include "redomark/shown_text.h"
#include "tests/command_line_fixture.h"
#include "tests/store_checks.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

const std::string usage =
    "Usage:\n"
    "  redomark save <path> [--name \"<text>\"] [--if-changed] [--auto] [--json]\n" +
    std::string(47, ' ') + "Save a redomark of a folder (--if-changed: only if it changed)\n" +
    "  redomark list <path> [--space] [--json]      List saved redomarks (--space shows the disk each one uses alone)\n"
    "  redomark diff <path> [id [id2]] [--file <relative path>] [--patch] [--json]\n" +
    std::string(47, ' ') + "Show what changed since a redomark, or between two (default: the latest)\n" +
    "  redomark show <path> [id] [--file <relative path>] [--json]\n" + std::string(47, ' ') +
    "Print a saved file, or list a saved folder (default: the latest)\n" +
    "  redomark restore <path> [id] [--file <relative path>] [--yes]\n" +
    std::string(47, ' ') + "Put the folder (or one file/subfolder) back (default: the latest)\n" +
    "  redomark undo <path> [--yes]                 Undo the last restore or put back of a folder\n"
    "  redomark run <path> [--name \"<text>\"] -- <command> [<argument>...]\n" +
    std::string(47, ' ') + "Run a command with an undo point of the folder taken just before it\n" +
    "  redomark delete <path> <id>... [--yes]       Delete saved redomarks of a folder\n"
    "  redomark folders [--space] [--json]          List every folder that has saved redomarks\n"
    "  redomark settings [--keep <n>] [--max-age <days>|none] [--budget <bytes>|none]\n"
    "                    [--hourly <n>] [--daily <n>] [--weekly <n>] [--monthly <n>] [--json]\n" +
    std::string(47, ' ') + "Show or change how many redomarks are kept\n\n" +
    "A redomark is an undo point on the same disk. It is not a backup.\n";

// One element of diff --json; a size below 0 is absent.
std::string changeJson(const std::string& path, const std::string& kind, bool directory, int64_t now, int64_t saved) {
  return "  {\n" + (now < 0 ? "" : "    \"currentSize\" : " + std::to_string(now) + ",\n") + "    \"isDirectory\" : " +
         (directory ? "true" : "false") + ",\n    \"kind\" : \"" + kind + "\",\n    \"path\" : \"" + path + "\"" +
         (saved < 0 ? "" : ",\n    \"savedSize\" : " + std::to_string(saved)) + "\n  }";
}

TEST_F(CommandLine, UsageVersionAndArgumentErrors) {
  EXPECT_EQ(tool({}), (ToolRun{2, usage, ""}));
  for (const char* help : {"help", "-h", "--help"}) EXPECT_EQ(tool({help}), (ToolRun{0, usage, ""}));
  EXPECT_EQ(tool({"--version"}), (ToolRun{0, "redomark 0.1.0\n", ""}));
  const auto usageError = [](const std::string& message) { return ToolRun{2, "", "redomark: " + message + "\n" + usage}; };
  EXPECT_EQ(tool({"List", "x"}), usageError("unknown command \"List\""));
  EXPECT_EQ(tool({"list"}), usageError("missing <path>"));
  EXPECT_EQ(tool({"list", "a", "b"}), usageError("unexpected argument \"b\""));
  // Nothing typed reaches the terminal as a control sequence.
  EXPECT_EQ(tool({"list", "a", "b\x1b]0;x\a"}), usageError("unexpected argument \"b\\x1b]0;x\\x07\""));
  EXPECT_EQ(tool({"list", "a", "b", "--yes"}), usageError("unknown option --yes"));
  EXPECT_EQ(tool({"list", "x", "--help"}), usageError("unknown option --help"));
  EXPECT_EQ(tool({"restore", "x", "--space"}), usageError("unknown option --space"));
  EXPECT_EQ(tool({"save", "--", "x"}), usageError("unknown option --"));
  EXPECT_EQ(tool({"save", "--name", "x"}), usageError("missing <path>"));
  EXPECT_EQ(tool({"save", "x", "--name"}), failed(2, "--name needs a value"));
  EXPECT_FALSE(pathExists(home.path() + "/.local")) << "a usage error touched the store";
}

TEST_F(CommandLine, SaveUsesTheStoreOfTheFoldersVolume) {
  const std::string data(64 * 1024, 'd');
  makeDirectory(home / "site");
  writeFile(home / "site/f", data);
  ASSERT_EQ(symlink("f", (home / "site/link").c_str()), 0);
  const ToolRun run = tool({"save", "~/site", "--name", "--json"});
  EXPECT_EQ(run, (ToolRun{0, savedLine(savedId(run), home / "site", "2 files, 66 KB") + notABackup, ""}));
  const std::string saved = CheckpointStore(defaultStore()).folderDirectory(home / "site") + "/" + savedId(run);
  EXPECT_EQ(readWholeFile(saved + "/data/f"), data);
  EXPECT_EQ(tool({"list", home / "site"}).out, line(listed(home / "site").at(0), "  \"--json\"") + "  2 files\n");

  for (Volume volume : {Volume::btrfs2, Volume::xfs}) {
    ScratchDir folder(volume);
    writeFile(folder / "f", data);
    const ToolRun other = tool({"save", "--name", "A", folder.path(), "--name", "B"});
    EXPECT_EQ(other, (ToolRun{0, savedLine(savedId(other), folder.path(), "1 files, 66 KB") + notABackup, ""}));
    const std::string store = CheckpointStore(volumeStoreRoot(volumeRoot(volume))).folderDirectory(folder.path());
    EXPECT_EQ(readWholeFile(store + "/" + savedId(other) + "/data/f"), data) << folder.path();
    EXPECT_EQ(tool({"list", folder.path()}).out, line(listed(folder.path()).at(0), "  \"B\"") + "  1 files\n");
    removeTree(store);
  }
  EXPECT_EQ(sortedNames(defaultStore()),
            (std::vector<std::string>{".metadata_never_index", "CACHEDIR.TAG", folderKey(home / "site")}));
}

TEST_F(CommandLine, RefusedSavesSayWhyAndLeaveTheStoreAlone) {
  const std::string folder = scratch.path();
  const auto expectRefused = [&](const std::string& path, const std::string& message) {
    EXPECT_EQ(tool({"save", path}), failed(1, message));
  };
  ScratchDir onExt4(Volume::noClone);
  const std::string ext4Store = volumeStoreRoot(readVolumeInfo(onExt4.path()).mountPoint);
  const bool ext4StoreExisted = pathExists(ext4Store);
  expectRefused(onExt4.path(), "This disk can't save redomarks cheaply: it is ext4, not Btrfs or XFS.");
  // The disk is judged before any store is made on it.
  EXPECT_EQ(pathExists(ext4Store), ext4StoreExisted);
  EXPECT_FALSE(pathExists(CheckpointStore(ext4Store).folderDirectory(onExt4.path())));

  expectRefused(folder + "/missing", "Couldn't read " + folder + "/missing: No such file or directory");
  writeFile(folder + "/plain", "x");
  expectRefused(folder + "/plain", folder + "/plain is not a folder.");
  ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
  expectRefused(folder, folder + "/pipe is a socket, pipe or device file, which Redomark can't save. Move it out of the folder first.");
  ASSERT_EQ(unlink((folder + "/pipe").c_str()), 0);
  makeDirectory(folder + "/disk");
  ASSERT_EQ(mount("tmpfs", (folder + "/disk").c_str(), "tmpfs", 0, "size=1m"), 0);
  expectRefused(folder, folder + "/disk contains another disk (a mount point), which can't be saved together with it.");
  // A disk that can hold no store is named as the cause, whatever the folder holds.
  for (const auto& [root, type] : {std::pair<std::string, std::string>{folder + "/disk", "tmpfs"},
                                   {"/dev/shm", "tmpfs"}, {"/proc", "proc"}})
    expectRefused(root, "This disk can't save redomarks cheaply: it is " + type + ", not Btrfs or XFS.");
  umount2((folder + "/disk").c_str(), MNT_DETACH);
  EXPECT_FALSE(pathExists(CheckpointStore(defaultStore()).folderDirectory(folder)));
  // Another user's private folder is refused for what it is.
  makeDirectory(folder + "/private");
  ASSERT_EQ(chmod((folder + "/private").c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  EXPECT_EQ(runTool({"save", folder + "/private"}, home.path(), asUid(65534)),
            failed(1, "Redomark isn't allowed to read " + folder + "/private. Check its permissions, then try again."));

  createDirectories(defaultStore() + "/inner");
  expectRefused(home / ".local/share/Redomark",
                home / ".local/share/Redomark contains Redomark's own store, so it can't be saved.");
  expectRefused(defaultStore() + "/inner", defaultStore() + "/inner is inside Redomark's own store.");
  EXPECT_EQ(sortedNames(defaultStore()), (std::vector<std::string>{".metadata_never_index", "CACHEDIR.TAG", "inner"}));
}

TEST_F(CommandLine, SaveNotesCopiedAndChangingFilesAndPrunesToFive) {
  const std::string folder = scratch / "copied";
  makeDirectory(folder);
  writeFile(folder + "/f", std::string(64 * 1024, 'n'));
  // The tracer refuses every clone, so saving must copy the file.
  const std::vector<std::string> copyOnly{"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=ioctl",
                                          "-e", "inject=ioctl:error=EOPNOTSUPP"};
  const std::string copiedNote = "Note: 1 file(s) had to be copied instead of shared and use real disk space.\n";
  const auto removedLine = [](const std::string& id) { return "Removed older redomark " + id + " to stay within your limits.\n"; };
  std::vector<std::string> ids;
  for (int i = 0; i < 7; ++i) {
    const ToolRun run = runTool({"save", folder}, home.path(), copyOnly);
    ids.push_back(savedId(run));
    const std::string removed = i < 5 ? "" : removedLine(ids[i - 5]);
    EXPECT_EQ(run, (ToolRun{0, savedLine(ids[i], folder, "1 files, 66 KB") + copiedNote + removed + notABackup, ""}));
  }
  std::vector<std::string> kept(ids.begin() + 2, ids.end());
  kept.push_back(".lock");
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(sortedNames(CheckpointStore(defaultStore()).folderDirectory(folder)), kept);
  writeFile(home / ".local/share/Redomark/settings.json", "{\"keepPerFolder\":3}");
  const ToolRun limited = runTool({"save", folder}, home.path(), copyOnly);
  const std::string removed = removedLine(ids[2]) + removedLine(ids[3]) + removedLine(ids[4]);
  EXPECT_EQ(limited, (ToolRun{0, savedLine(savedId(limited), folder, "1 files, 66 KB") + copiedNote + removed + notABackup, ""}));

  // 110 files grow all through the save, behind a tree that takes a while to
  // clone: the report counts the hundred that are kept and names five.
  const std::string busy = scratch / "busy";
  makeDirectory(busy);
  makeDirectory(busy + "/fill");
  for (int i = 0; i < 3000; ++i) close(open((busy + "/fill/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  std::vector<int> growing;
  for (int i = 100; i < 210; ++i)
    growing.push_back(open((busy + "/g" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    while (!stop)
      for (int fd : growing)
        if (write(fd, "x", 1) != 1) return;
  });
  const ToolRun run = tool({"save", busy});
  stop = true;
  writer.join();
  for (int fd : growing) close(fd);
  const std::regex report(
      "Saved redomark \\S+ of \\S+/busy \\(3110 files, [^;]+; it shares the data, but the copies' own file "
      "records take about [0-9.]+ MB\\)\\.\n"
      "Note: 100 file\\(s\\) changed while saving, so they may be half old, half new: (g[12][0-9]{2}, ){4}g[12][0-9]{2}\n" +
      notABackup);
  EXPECT_TRUE(run.status == 0 && run.err.empty() && std::regex_match(run.out, report)) << run.out << run.err;
  const std::string named = run.out.substr(std::min(run.out.find("half new: "), run.out.size()));
  const std::regex name("g[0-9]{3}");
  EXPECT_EQ(std::set<std::string>(std::sregex_token_iterator(named.begin(), named.end(), name), {}).size(), 5u) << named;
}

TEST_F(CommandLine, ListShowsNewestFirstWithSpaceAndJson) {
  const std::string folder = scratch / "site";
  EXPECT_EQ(tool({"list", folder + "//"}),
            (ToolRun{0, "No saved redomarks for " + folder + " (the folder doesn't exist either).\n", ""}));
  makeDirectory(folder);
  EXPECT_EQ(tool({"list", folder}), (ToolRun{0, "No saved redomarks for this folder.\n", ""}));
  EXPECT_EQ(tool({"list", folder, "--json", "--space"}), (ToolRun{0, "[\n\n]\n", ""}));

  // Larger than Btrfs keeps inline, so a fresh checkpoint shares every byte
  // and holds only its records alone.
  writeFile(folder + "/big", std::string(64 * 1024, 'a'));
  for (const char* option : {"--space", "--json"})
    EXPECT_EQ(tool({"list", folder + "/big", option}), failed(1, folder + "/big is not a folder."));
  EXPECT_EQ(tool({"save", folder, "--name", ""}).status, 0);
  const Listed older = listed(folder).at(0);
  const int64_t fresh = spaceUsed(folder).at(0);
  EXPECT_TRUE(dataAndFewRecords(fresh, 0)) << fresh;
  EXPECT_EQ(tool({"list", folder, "--space"}),
            (ToolRun{0, line(older, "  \"\"") + "  1 files  uses " + formatBytes(fresh) + "\n", ""}));
  writeFile(folder + "/big", std::string(64 * 1024, 'b'));
  EXPECT_EQ(tool({"save", folder}).status, 0);
  const std::vector<Listed> both = listed(folder);
  ASSERT_EQ(both.size(), 2u);
  const std::vector<int64_t> used = spaceUsed(folder);
  ASSERT_EQ(used.size(), 2u);
  // The older one's data is its own now; their records differ only by the
  // older one's name.
  EXPECT_TRUE(dataAndFewRecords(used[1], 0)) << used[1];
  EXPECT_TRUE(used[0] - used[1] >= 65536 && used[0] - used[1] < 65536 + 64) << used[0] << " " << used[1];
  EXPECT_EQ(tool({"list", folder, "--space"}),
            (ToolRun{0, line(both[1]) + "  1 files  uses " + formatBytes(used[1]) + "\n" + line(older, "  \"\"") +
                            "  1 files  uses " + formatBytes(used[0]) + "\n", ""}));

  const auto json = [&](const Listed& c, const std::string& nameMember, const std::string& spaceMember) {
    return "  {\n    \"changedWhileSaving\" : [\n\n    ],\n    \"createdAt\" : \"" + c.createdAt +
           "\",\n    \"fileCount\" : 1,\n    \"id\" : \"" + c.id + "\",\n    \"kind\" : \"manual\",\n" + nameMember +
           "    \"notClonedCount\" : 0,\n    \"sourcePath\" : \"" + std::regex_replace(folder, std::regex("/"), "\\/") +
           "\",\n" + spaceMember + "    \"totalBytes\" : 65536\n  }";
  };
  const std::string named = "    \"name\" : \"\",\n";
  EXPECT_EQ(tool({"list", folder, "--json"}),
            (ToolRun{0, "[\n" + json(older, named, "") + ",\n" + json(both[1], "", "") + "\n]\n", ""}));
  EXPECT_EQ(tool({"list", "--space", folder, "--json"}).out,
            "[\n" + json(older, named, "    \"spaceUsed\" : " + std::to_string(used[0]) + ",\n") + ",\n" +
                json(both[1], "", "    \"spaceUsed\" : " + std::to_string(used[1]) + ",\n") + "\n]\n");

  // A folder that is gone still finds its checkpoints through its parent's volume.
  removeTree(folder);
  EXPECT_EQ(tool({"list", folder}), (ToolRun{0, line(both[1]) + "  1 files\n" + line(older, "  \"\"") + "  1 files\n", ""}));
}

// Bytes in use on the volume that holds path, once what was written is committed.
int64_t usedBytes(const std::string& path) {
  sync();
  sync();
  struct statvfs facts {};
  EXPECT_EQ(statvfs(path.c_str(), &facts), 0);
  return static_cast<int64_t>(facts.f_blocks - facts.f_bfree) * static_cast<int64_t>(facts.f_frsize);
}

// What a fresh checkpoint uses alone is, within a quarter, what its save took
// from the disk: mostly the copies' own records, which the save names when
// they are large beside the data.
TEST_F(CommandLine, AFreshCheckpointUsesWhatItsSaveTookFromTheDisk) {
  struct Tree {
    int files;
    bool sparse;  // a MB each without data, else 0 to 3 KB of data
    bool recordsNamed;
  };
  for (Volume volume : {Volume::btrfs2, Volume::xfs}) {
    for (const Tree& tree : {Tree{10000, false, true}, Tree{5000, true, false}}) {
      ScratchDir folder(volume);
      int64_t bytes = 0;
      for (int i = 0; i < tree.files; ++i) {
        if (i % 1000 == 0) makeDirectory(folder / ("d" + std::to_string(i / 1000)));
        const std::string file = folder / ("d" + std::to_string(i / 1000) + "/file-" + std::to_string(i));
        const int64_t size = tree.sparse ? 1 << 20 : i * 7919 % 3001;
        writeFile(file, tree.sparse ? "" : std::string(size, 'x'));
        if (tree.sparse) {
          ASSERT_EQ(truncate(file.c_str(), size), 0);
        }
        bytes += size;
      }
      const int64_t before = usedBytes(folder.path());
      const ToolRun run = tool({"save", folder.path()});
      const int64_t took = usedBytes(folder.path()) - before;
      const std::string counts = std::to_string(tree.files) + " files, " + formatBytes(bytes);
      const std::regex named("Saved redomark \\S+ of \\S+ \\(" + counts +
                             "; it shares the data, but the copies' own file records take about [0-9.]+ MB\\)\\.\n" +
                             notABackup);
      if (tree.recordsNamed) {
        EXPECT_TRUE(run.status == 0 && std::regex_match(run.out, named)) << run.out << run.err;
      } else {
        EXPECT_EQ(run, (ToolRun{0, savedLine(savedId(run), folder.path(), counts) + notABackup, ""}));
      }
      EXPECT_NEAR(spaceUsed(folder.path()).at(0), took, took / 4) << folder.path() << " " << tree.files;
      removeTree(CheckpointStore(volumeStoreRoot(volumeRoot(volume))).folderDirectory(folder.path()));
    }
  }
}

TEST_F(CommandLine, DiffPrintsEveryKindOfChangeInTextOrder) {
  const std::string folder = scratch.path();
  EXPECT_EQ(tool({"diff", folder}), failed(1, "There are no saved redomarks for " + folder + "."));
  writeFile(folder + "/a", "y\n");
  writeFile(folder + "/a-b", std::string(64 * 1024, 'o'));
  writeFile(folder + "/a0", "0\n");
  writeFile(folder + "/same", "s");
  writeFile(folder + "/caf\u00e9", "c");
  EXPECT_EQ(tool({"save", folder, "--name", "first"}).status, 0);
  const Listed first = listed(folder).at(0);
  const std::string header = "Changes since " + line(first, "  \"first\"") + ":\n";
  EXPECT_EQ(tool({"diff", folder}), (ToolRun{0, header + "  none\n", ""}));
  EXPECT_EQ(tool({"diff", folder, "--json"}), (ToolRun{0, "[\n\n]\n", ""}));

  const int64_t savedTime = mtimeNs(folder + "/a-b");
  writeFile(folder + "/a-b", std::string(64 * 1024, 'n'));
  setMtimeNs(folder + "/a-b", savedTime + 1);
  ASSERT_EQ(unlink((folder + "/a").c_str()), 0);
  makeDirectory(folder + "/a");
  writeFile(folder + "/a/b", "in\n");
  writeFile(folder + "/a b", "new\n");
  ASSERT_EQ(unlink((folder + "/a0").c_str()), 0);
  makeDirectory(folder + "/z");
  // The same name spelled decomposed is another item, sorted beside it by its bytes.
  ASSERT_EQ(rename((folder + "/caf\u00e9").c_str(), (folder + "/cafe\u0301").c_str()), 0);
  const std::string changes = header +
                              "  ~ a/\n"
                              "  + a b  (4 bytes)\n"
                              "  ~ a-b  (66 KB)\n"
                              "  + a/b  (3 bytes)\n"
                              "  - a0  (2 bytes)\n"
                              "  + cafe\u0301  (1 byte)\n"
                              "  - caf\u00e9  (1 byte)\n"
                              "  + z/\n";
  EXPECT_EQ(tool({"diff", folder}), (ToolRun{0, changes, ""}));
  EXPECT_EQ(tool({"diff", folder, "latest"}), (ToolRun{0, changes, ""}));
  const std::string json = "[\n" + changeJson("a", "modified", true, 0, 2) + ",\n" + changeJson("a b", "added", false, 4, -1) +
                           ",\n" + changeJson("a-b", "modified", false, 65536, 65536) + ",\n" +
                           changeJson("a\\/b", "added", false, 3, -1) + ",\n" + changeJson("a0", "deleted", false, -1, 2) +
                           ",\n" + changeJson("cafe\u0301", "added", false, 1, -1) + ",\n" +
                           changeJson("caf\u00e9", "deleted", false, -1, 1) + ",\n" + changeJson("z", "added", true, 0, -1) +
                           "\n]\n";
  EXPECT_EQ(tool({"diff", "--json", folder}), (ToolRun{0, json, ""}));

  EXPECT_EQ(tool({"save", folder}).status, 0);
  const Listed second = listed(folder).at(1);
  EXPECT_EQ(tool({"diff", folder, "-v"}), failed(1, "No saved redomark matches \"-v\"."));
  EXPECT_EQ(tool({"diff", folder, "2"}), failed(1, "\"2\" matches several redomarks: " + first.id + ", " + second.id + "."));
  EXPECT_EQ(tool({"diff", folder, first.id}), (ToolRun{0, changes, ""}));
  removeTree(folder);
  EXPECT_EQ(tool({"diff", folder}), (ToolRun{0,
                                             "Changes since " + line(second) +
                                                 ":\n  - a/\n  - a b  (4 bytes)\n  - a-b  (66 KB)\n  - a/b  (3 bytes)\n"
                                                 "  - cafe\u0301  (1 byte)\n  - same  (1 byte)\n  - z/\n",
                                             ""}));
}

TEST_F(CommandLine, RestorePutsBackTheFolderOrOneItem) {
  const std::string folder = scratch / "a/project";
  createDirectories(folder + "/src/deep");
  EXPECT_EQ(tool({"restore", folder}), failed(1, "There are no saved redomarks for " + folder + "."));
  writeFile(folder + "/readme.txt", "hello\n");
  writeFile(folder + "/src/main.cpp", "int main() {}\n");
  writeFile(folder + "/src/deep/data.bin", std::string(70000, 'x'));
  ASSERT_EQ(symlink("src/main.cpp", (folder + "/link").c_str()), 0);
  ASSERT_EQ(chmod((folder + "/src/deep").c_str(), 0750), 0);
  ASSERT_EQ(tool({"save", folder}).status, 0);
  const Listed saved = listed(folder).at(0);
  const TreeSnapshot before = snapshotTree(folder);
  writeFile(folder + "/readme.txt", "changed\n");
  writeFile(folder + "/added", "new");
  removeTree(folder + "/src");
  createDirectories(folder + "/src");
  const TreeSnapshot edited = snapshotTree(folder);

  EXPECT_EQ(tool({"restore", folder}), failed(1, "restoring needs confirmation: run it in a terminal or pass --yes"));
  EXPECT_EQ(tool({"restore", folder, "nosuch", "--yes"}), failed(1, "No saved redomark matches \"nosuch\"."));
  for (const std::string bad : {"../x", "/x", "./x", "src/../readme.txt", "/"})
    EXPECT_EQ(tool({"restore", folder, "--file", bad, "--yes"}), failed(1, "\"" + bad + "\" is not a valid path inside the folder."));
  EXPECT_EQ(tool({"restore", folder, "--file", "no//such/", "--yes"}), failed(1, "\"no/such\" is not in that redomark."));
  EXPECT_EQ(snapshotTree(folder), edited);

  // One item: its parents are made, a changed one goes to the Trash, an unchanged one stays the same file.
  const std::string trash = home / ".local/share/Trash/files/";
  const auto putBack = [&](const std::string& item, const std::string& replaced = "") {
    return ToolRun{0, "Restored \"" + item + "\" in " + folder + " to " + saved.id + ".\n" +
                          (replaced.empty() ? "" : "The replaced copy is at " + trash + replaced + ".\n"), ""};
  };
  EXPECT_EQ(tool({"restore", folder, "--file", "src//deep/data.bin/", "--yes"}), putBack("src//deep/data.bin/"));
  EXPECT_EQ(tool({"restore", folder, "--file", "readme.txt", "--yes"}), putBack("readme.txt", "readme.txt (replaced by Redomark)"));
  EXPECT_EQ(readFile(trash + "readme.txt (replaced by Redomark)"), "changed\n");
  EXPECT_EQ(tool({"restore", folder, saved.id, "--file", "src/main.cpp", "--yes"}), putBack("src/main.cpp"));
  struct stat was {}, is {};
  ASSERT_EQ(stat((folder + "/src/main.cpp").c_str(), &was), 0);
  EXPECT_EQ(tool({"restore", folder, "--file", "src/main.cpp", "--yes"}), putBack("src/main.cpp"));
  ASSERT_EQ(stat((folder + "/src/main.cpp").c_str(), &is), 0);
  EXPECT_EQ(was.st_ino, is.st_ino);
  writeFile(folder + "/src/deep/extra", "x");
  EXPECT_EQ(tool({"restore", folder, "--file", "src", "--yes"}), putBack("src", "src (replaced by Redomark)"));
  EXPECT_TRUE(pathExists(trash + "src (replaced by Redomark)/deep/extra"));
  TreeSnapshot now = snapshotTree(folder), expected = before;
  for (TreeSnapshot* tree : {&now, &expected}) tree->erase("");
  now.erase("added");
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

  // The whole folder: the current one is saved first and goes to the Trash; that checkpoint undoes it.
  const TreeSnapshot current = snapshotTree(folder);
  const ToolRun whole = tool({"restore", folder, "--yes"});
  const std::vector<Listed> after = listed(folder);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(whole, (ToolRun{0, "Restored " + folder + " to " + saved.id + ".\nThe state before the restore was saved as redomark " +
                                   after[1].id + ", so you can undo this.\nThe replaced copy is at " + trash +
                                   "project (replaced by Redomark).\n", ""}));
  EXPECT_EQ(snapshotTree(folder), before);
  EXPECT_EQ(tool({"restore", folder, after[1].id, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), current);

  // A folder that is gone comes back with its parents, and nothing is saved first.
  removeTree(scratch / "a");
  EXPECT_EQ(tool({"restore", folder, saved.id, "--yes"}), (ToolRun{0, "Restored " + folder + " to " + saved.id + ".\n", ""}));
  EXPECT_EQ(snapshotTree(folder), before);
  EXPECT_EQ(listed(folder).size(), 3u);
  EXPECT_EQ(leftoverNames(scratch / "a"), std::vector<std::string>{});
}

// Text reports never pass a name's control characters or invalid bytes to the
// terminal, while --json keeps the exact text.
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

// Small promises of the command line: any recorded date is shown the same way
// by list and list --json, and "~name" means that user's home.
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
    writeFile(meta, edited);
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
