// What a folder must keep through save, restore, undo and put back beyond
// names and bytes: which names are one file, what that file costs in the
// store, and the no-copy-on-write attribute, checked on disk.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "core/fs/volume.h"
#include "core/operations/redomark.h"
#include "tests/command_line_fixture.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

constexpr int64_t kib = 1024;

// The names, relative to root, that must all be one inode with exactly that
// many names; returns the inode.
ino_t expectOneFile(const std::string& root, const std::vector<std::string>& names, nlink_t links) {
  const struct stat first = statusOf(root + "/" + names.at(0));
  for (const std::string& name : names) {
    const struct stat st = statusOf(root + "/" + name);
    EXPECT_EQ(st.st_ino, first.st_ino) << name << " is not the same file as " << names[0];
    EXPECT_EQ(st.st_nlink, links) << name;
  }
  return first.st_ino;
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
  const std::string folder = scratch / "linked";
  createDirectories(folder + "/a/b");
  createDirectories(folder + "/sub");
  const std::string first = uniqueBytes(128 * kib, 1), second = uniqueBytes(64 * kib, 2);
  writeFile(folder + "/one", first);
  ASSERT_EQ(link((folder + "/one").c_str(), (folder + "/a/two").c_str()), 0);
  ASSERT_EQ(link((folder + "/one").c_str(), (folder + "/a/b/three").c_str()), 0);
  writeFile(folder + "/sub/p", second);
  ASSERT_EQ(link((folder + "/sub/p").c_str(), (folder + "/sub/q").c_str()), 0);
  // Its other name is outside the folder, so inside it is a file like any other.
  writeFile(scratch / "outside", "a name outside");
  ASSERT_EQ(link((scratch / "outside").c_str(), (folder + "/outer").c_str()), 0);
  writeFile(folder + "/plain", "plain");
  const std::vector<std::string> setA{"one", "a/two", "a/b/three"}, setB{"sub/p", "sub/q"};

  // Each name is a file of the report; all of them were cloned, so no note.
  const ToolRun saved = tool({"save", folder});
  const std::string id = savedId(saved);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "7 files, 524 KB") + notABackup, ""}));
  const std::string data = savedData(folder, id);
  const ino_t savedA = expectOneFile(data, setA, 3);
  expectOneFile(data, setB, 2);
  EXPECT_EQ(statusOf(data + "/outer").st_nlink, 1u);
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
  ASSERT_EQ(link((folder + "/sub/p").c_str(), (folder + "/new").c_str()), 0);
  const TreeSnapshot changed = snapshotTree(folder);

  // The whole folder comes back with its links, as files of its own.
  ASSERT_EQ(tool({"restore", folder, id, "--yes"}).status, 0);
  const ino_t restoredA = expectOneFile(folder, setA, 3);
  EXPECT_NE(restoredA, savedA) << "a restored file must not be the store's own";
  expectOneFile(folder, setB, 2);
  EXPECT_EQ(readFile(folder + "/a/b/three"), first);
  EXPECT_EQ(readFile(folder + "/sub/q"), second);
  EXPECT_EQ(statusOf(folder + "/outer").st_nlink, 1u);
  EXPECT_FALSE(pathExists(folder + "/new"));

  // Undo: the state before the restore, links as they were then.
  const std::vector<std::string> checkpoints = savedIds(folder);
  ASSERT_EQ(checkpoints.size(), 2u);
  ASSERT_EQ(tool({"restore", folder, checkpoints[1], "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), changed);
  expectOneFile(folder, {"one", "a/b/three"}, 2);
  expectOneFile(folder, {"sub/p", "sub/q", "new"}, 3);
  // The folder is a clone of that checkpoint again: it shares all its data.
  EXPECT_TRUE(dataAndFewRecords(spaceUsed(folder).at(1), inlineBytes));

  // One name put back is a file of its own: the others may have changed
  // since, and a put back changes nothing but the item chosen.
  EXPECT_EQ(tool({"restore", folder, id, "--file", "a/two", "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/a/two"), first);
  EXPECT_EQ(statusOf(folder + "/a/two").st_nlink, 1u);
  expectOneFile(folder, {"one", "a/b/three"}, 2);
  EXPECT_EQ(readFile(folder + "/one"), uniqueBytes(128 * kib, 3));
  // A folder put back keeps the links among the names inside it.
  EXPECT_EQ(tool({"restore", folder, id, "--file", "sub", "--yes"}).status, 0);
  const ino_t putBackB = expectOneFile(folder, setB, 2);
  EXPECT_NE(putBackB, statusOf(folder + "/new").st_ino);
  EXPECT_EQ(readFile(folder + "/sub/p"), second);
}

TEST_P(LinksAndAttributes, ANameThatCantBeLinkedIsCopiedAndAFailedLinkFailsTheSave) {
  const std::string folder = scratch / "linked";
  createDirectories(folder + "/a");
  writeFile(folder + "/one", uniqueBytes(32 * kib, 8));
  ASSERT_EQ(link((folder + "/one").c_str(), (folder + "/a/two").c_str()), 0);
  const auto traced = [&](const std::string& error) {
    return runTool({"save", folder}, home.path(),
                   {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=linkat", "-e", "inject=linkat:error=" + error});
  };

  // Too many links already: the name gets its own clone, counted as one.
  const ToolRun saved = traced("EMLINK");
  const std::string id = savedId(saved);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "2 files, 66 KB") + notABackup, ""}));
  const std::string data = savedData(folder, id);
  EXPECT_EQ(statusOf(data + "/one").st_nlink, 1u);
  EXPECT_EQ(statusOf(data + "/a/two").st_nlink, 1u);
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
