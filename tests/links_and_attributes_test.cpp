// What a folder must keep through save, restore, undo and put back beyond
// names and bytes: which names are one file, what that file costs in the
// store, and the no-copy-on-write attribute, checked on disk.
#include <sys/ioctl.h>

#include "core/fs/volume.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

constexpr int64_t kib = 1024;

// Which names below root are one file, and how many names that file has in
// all, as "a b (3); c (1); ", the groups in order.
std::string linkGroups(const std::string& root) {
  std::map<ino_t, std::pair<std::string, nlink_t>> files;
  for (const auto& [path, line] : snapshotTree(root)) {
    const struct stat st = statusOf(root + "/" + path);
    if (S_ISREG(st.st_mode)) files[st.st_ino].first += path + " ", files[st.st_ino].second = st.st_nlink;
  }
  std::set<std::string> groups;
  for (const auto& [inode, file] : files) groups.insert(file.first + "(" + std::to_string(file.second) + "); ");
  std::string out;
  for (const std::string& group : groups) out += group;
  return out;
}

bool isNoCow(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  int flags = 0;
  EXPECT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &flags), 0) << path;
  close(fd);
  return (flags & FS_NOCOW_FL) != 0;
}

// On each copy-on-write file system: a HOME and a folder there.
class LinksAndAttributes : public CommandLine, public ::testing::WithParamInterface<Volume> {
 protected:
  LinksAndAttributes() : CommandLine(GetParam()) {}
  bool onBtrfs() const { return GetParam() == Volume::btrfs; }
};

// The attribute is Btrfs's alone.
class NoCopyOnWrite : public LinksAndAttributes {};

TEST_P(LinksAndAttributes, HardLinksStayLinksThroughSaveRestoreUndoAndPutBack) {
  const std::string folder = scratch / "linked", first = uniqueBytes(128 * kib, 1), second = uniqueBytes(64 * kib, 2);
  writeFiles(folder, {{"one", first}, {"sub/p", second}, {"plain", "plain"}});
  createDirectories(folder + "/a/b");
  hardLink(folder + "/one", folder + "/a/two");
  hardLink(folder + "/one", folder + "/a/b/three");
  hardLink(folder + "/sub/p", folder + "/sub/q");
  // Its other name is outside the folder, so inside it is a file like any other.
  writeFile(scratch / "outside", "a name outside");
  hardLink(scratch / "outside", folder + "/outer");

  // Each name is a file of the report; all of them were cloned, so no note.
  const ToolRun saved = tool({"save", folder});
  const std::string id = savedId(saved);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "7 files, 524 KB") + notABackup, ""}));
  const std::string data = savedData(folder, id);
  const std::string asSaved = "a/b/three a/two one (3); outer (1); plain (1); sub/p sub/q (2); ";
  EXPECT_EQ(linkGroups(data), asSaved);
  const ino_t savedA = statusOf(data + "/one").st_ino;
  EXPECT_NE(savedA, statusOf(folder + "/one").st_ino);
  EXPECT_EQ(privateSize(data + "/one"), 0) << "the saved file shares its data";
  // Only the two small files, which Btrfs keeps inline, cost their own
  // bytes, besides the records of the copies.
  const int64_t inlineBytes = onBtrfs() ? 5 + 14 : 0;
  const int64_t fresh = spaceUsed(folder).at(0);
  EXPECT_TRUE(dataAndFewRecords(fresh, inlineBytes)) << fresh;

  // Rewriting the linked file leaves its old data to the checkpoint alone:
  // the three names count once.
  writeFile(folder + "/one", uniqueBytes(128 * kib, 3));  // in place
  EXPECT_EQ(spaceUsed(folder), std::vector<int64_t>{128 * kib + fresh});

  ASSERT_EQ(unlink((folder + "/a/two").c_str()), 0);
  hardLink(folder + "/sub/p", folder + "/new");
  const TreeSnapshot changed = snapshotTree(folder);

  // The whole folder comes back with its links, as files of its own.
  ASSERT_EQ(tool({"restore", folder, id, "--yes"}).status, 0);
  EXPECT_EQ(linkGroups(folder), asSaved);
  EXPECT_NE(statusOf(folder + "/one").st_ino, savedA) << "a restored file must not be the store's own";
  EXPECT_EQ(readFile(folder + "/a/b/three") + readFile(folder + "/sub/q"), first + second);

  // Undo: the state before the restore, links as they were then.
  const std::vector<std::string> checkpoints = savedIds(folder);
  ASSERT_EQ(checkpoints.size(), 2u);
  ASSERT_EQ(tool({"restore", folder, checkpoints[1], "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), changed);
  EXPECT_EQ(linkGroups(folder), "a/b/three one (2); new sub/p sub/q (3); outer (1); plain (1); ");
  // The folder is a clone of that checkpoint again: it shares all its data.
  EXPECT_TRUE(dataAndFewRecords(spaceUsed(folder).at(1), inlineBytes));

  // One name put back is a file of its own: the others may have changed
  // since, and a put back changes nothing but the item chosen.
  EXPECT_EQ(tool({"restore", folder, id, "--file", "a/two", "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/a/two") + readFile(folder + "/one"), first + uniqueBytes(128 * kib, 3));
  EXPECT_EQ(linkGroups(folder), "a/b/three one (2); a/two (1); new sub/p sub/q (3); outer (1); plain (1); ");
  // A folder put back keeps the links among the names inside it.
  EXPECT_EQ(tool({"restore", folder, id, "--file", "sub", "--yes"}).status, 0);
  EXPECT_EQ(linkGroups(folder), "a/b/three one (2); a/two (1); new (3); outer (1); plain (1); sub/p sub/q (2); ");
  EXPECT_EQ(readFile(folder + "/sub/p"), second);
}

TEST_P(LinksAndAttributes, ANameThatCantBeLinkedIsCopiedAndAFailedLinkFailsTheSave) {
  const std::string folder = scratch / "linked";
  writeFiles(folder, {{"one", uniqueBytes(32 * kib, 8)}});
  createDirectories(folder + "/a");
  hardLink(folder + "/one", folder + "/a/two");
  const auto traced = [&](const std::string& e) { return runTool({"save", folder}, home.path(), tracer({"linkat:error=" + e})); };

  // Too many links already: the name gets its own clone, counted as one.
  const ToolRun saved = traced("EMLINK");
  const std::string id = savedId(saved);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "2 files, 66 KB") + notABackup, ""}));
  const std::string data = savedData(folder, id);
  EXPECT_EQ(linkGroups(data), "a/two (1); one (1); ");
  EXPECT_EQ(readFile(data + "/a/two"), uniqueBytes(32 * kib, 8));

  // Whichever name the walk meets second is the one that failed.
  const ToolRun failure = traced("EIO");
  EXPECT_TRUE(failure == failed(1, "Couldn't copy " + folder + "/one: Input/output error.") ||
              failure == failed(1, "Couldn't copy " + folder + "/a/two: Input/output error."))
      << ::testing::PrintToString(failure);
  EXPECT_EQ(savedIds(folder).size(), 1u);
  EXPECT_EQ(leftoverNames(CheckpointStore(defaultStore()).folderDirectory(folder)), std::vector<std::string>{});
}

TEST_P(NoCopyOnWrite, ComesBackOnFoldersAndFilesThatHadIt) {
  const std::string folder = scratch / "disks";
  createDirectories(folder + "/vm/inner");
  createDirectories(folder + "/cow");
  // Made before their folder got the attribute, so they don't have it.
  writeFile(folder + "/vm/inner/f", "inner");
  writeFile(folder + "/vm/cow.txt", uniqueBytes(16 * kib, 4));
  writeFile(folder + "/vm/empty", "");
  setInodeFlags(folder + "/vm", FS_NOCOW_FL, true);
  writeFile(folder + "/vm/disk.img", uniqueBytes(256 * kib, 5));  // takes it from its folder
  writeFile(folder + "/db", "");
  setInodeFlags(folder + "/db", FS_NOCOW_FL, true);
  writeFile(folder + "/db", uniqueBytes(64 * kib, 6));
  writeFile(folder + "/plain.txt", uniqueBytes(8 * kib, 7));
  const std::vector<std::string> noCow{"vm", "vm/disk.img", "db"};
  const std::vector<std::string> cow{"", "vm/inner", "vm/inner/f", "vm/cow.txt", "vm/empty", "cow", "plain.txt"};
  const auto expectAttributes = [&](const std::string& root) {
    for (const std::string& item : noCow) EXPECT_TRUE(isNoCow(root + "/" + item)) << root << "/" << item;
    for (const std::string& item : cow) EXPECT_FALSE(isNoCow(root + "/" + item)) << root << "/" << item;
  };
  expectAttributes(folder);
  const TreeSnapshot before = snapshotTree(folder);

  // With the attribute given first, even those files share their data.
  const ToolRun saved = tool({"save", folder});
  const std::string id = savedId(saved);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "6 files, 352 KB") + notABackup, ""}));
  const std::string data = savedData(folder, id);
  expectAttributes(data);
  EXPECT_EQ(privateSize(data + "/vm/disk.img"), 0);
  EXPECT_EQ(privateSize(data + "/db"), 0);

  removeTree(folder + "/vm");
  writeFile(folder + "/db", "rewritten");
  ASSERT_EQ(tool({"restore", folder, id, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), before);
  expectAttributes(folder);
  removeTree(folder + "/vm");
  ASSERT_EQ(tool({"restore", folder, id, "--file", "vm", "--yes"}).status, 0);
  expectAttributes(folder);
  // A parent that a put back makes again gets it as well.
  removeTree(folder + "/vm");
  ASSERT_EQ(tool({"restore", folder, id, "--file", "vm/disk.img", "--yes"}).status, 0);
  EXPECT_TRUE(isNoCow(folder + "/vm"));
  EXPECT_TRUE(isNoCow(folder + "/vm/disk.img"));
}

// An item the system won't let go of (append-only here) is named as it is,
// and the copy made to replace it goes.
TEST_P(LinksAndAttributes, AnItemTheSystemWontReplaceIsNamedAndLeftAsItIs) {
  const std::string folder = scratch / "kept";
  makeDirectory(folder);
  writeFile(folder + "/log", "one");
  const std::string id = savedId(tool({"save", folder}));
  writeFile(folder + "/log", "two");
  setInodeFlags(folder + "/log", FS_APPEND_FL, true);
  EXPECT_EQ(tool({"restore", folder, id, "--file", "log", "--yes"}),
            failed(1, "Couldn't replace " + folder + "/log: Operation not permitted."));
  setInodeFlags(folder + "/log", FS_APPEND_FL, false);
  EXPECT_EQ(readFile(folder + "/log"), "two");
  EXPECT_EQ(sortedNames(folder), std::vector<std::string>{"log"});
}

// Saving and diffing only look: the access times of the folder's directories
// stay as they were, although their change times are newer (so that any read
// would move them), and so do those of the saved copy, which the save walks.
TEST_P(LinksAndAttributes, SaveAndDiffLeaveAccessTimesAlone) {
  const std::string folder = scratch / "looked-at";
  createDirectories(folder + "/a/b");
  writeFile(folder + "/a/b/g", "g");
  const timespec times[2] = {{1000, 0}, {0, UTIME_OMIT}};
  for (const std::string d : {"", "/a", "/a/b"}) ASSERT_EQ(utimensat(AT_FDCWD, (folder + d).c_str(), times, 0), 0);
  const std::string data = savedData(folder, savedId(tool({"save", folder})));
  EXPECT_EQ(tool({"diff", folder}).status, 0);
  for (const std::string d : {"", "/a", "/a/b"}) {
    EXPECT_EQ(statusOf(folder + d).st_atim.tv_sec, 1000) << d;
    EXPECT_EQ(statusOf(data + d).st_atim.tv_sec, 1000) << d;
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, LinksAndAttributes, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "btrfs" : "xfs"; });
INSTANTIATE_TEST_SUITE_P(Btrfs, NoCopyOnWrite, ::testing::Values(Volume::btrfs),
                         [](const auto&) { return "btrfs"; });

}  // namespace
}  // namespace redomark::testing
