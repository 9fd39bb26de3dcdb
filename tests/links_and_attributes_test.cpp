// What a folder must keep through save, restore and put back beyond names and
// bytes: which names are one file and the no-copy-on-write attribute, checked
// on disk.
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
  const std::string flags = outputOf("lsattr -d '" + path + "'");
  return flags.substr(0, flags.find(' ')).find('C') != std::string::npos;
}

// On each copy-on-write file system: a HOME and a folder there.
class LinksAndAttributes : public CommandLine, public ::testing::WithParamInterface<Volume> {
 protected:
  LinksAndAttributes() : CommandLine(GetParam()) {}
};

TEST_P(LinksAndAttributes, HardLinksStayLinksThroughSaveRestoreAndPutBack) {
  const std::string folder = scratch / "linked", first = uniqueBytes(128 * kib, 1), second = uniqueBytes(64 * kib, 2);
  writeFiles(folder, {{"one", first}, {"sub/p", second}, {"plain", "plain"}});
  createDirectories(folder + "/a/b");
  for (const auto& [from, to] : {std::pair{"one", "a/two"}, {"one", "a/b/three"}, {"sub/p", "sub/q"}})
    hardLink(folder + "/" + from, folder + "/" + to);

  // Saving only looks: a directory's access time, older than its change time, stays.
  const timespec old[2] = {{1000, 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/a").c_str(), old, 0), 0);

  // Each name is a file of the report; all of them were cloned, so no note.
  const ToolRun saved = tool({"save", folder});
  EXPECT_EQ(statusOf(folder + "/a").st_atim.tv_sec, 1000);
  const std::string id = savedId(saved), data = savedData(folder, id);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "6 files, 524 KB") + notABackup, ""}));
  const std::string asSaved = "a/b/three a/two one (3); plain (1); sub/p sub/q (2); ";
  EXPECT_EQ(linkGroups(data), asSaved);

  // The whole folder comes back with its links, as files of its own.
  ASSERT_EQ(unlink((folder + "/a/two").c_str()), 0);
  hardLink(folder + "/sub/p", folder + "/new");
  ASSERT_EQ(tool({"restore", folder, id, "--yes"}).status, 0);
  EXPECT_EQ(linkGroups(folder), asSaved);
  EXPECT_NE(statusOf(folder + "/one").st_ino, statusOf(data + "/one").st_ino) << "a restored file is not the store's";

  // One name put back is a file of its own: the others may have changed
  // since, and a put back changes nothing but the item chosen.
  ASSERT_EQ(unlink((folder + "/a/two").c_str()), 0);
  writeFile(folder + "/one", "rewritten in place");
  EXPECT_EQ(tool({"restore", folder, id, "--file", "a/two", "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/a/two") + readFile(folder + "/a/b/three"), first + "rewritten in place");
  EXPECT_EQ(linkGroups(folder), "a/b/three one (2); a/two (1); plain (1); sub/p sub/q (2); ");
}

TEST_P(LinksAndAttributes, ANameThatCantBeLinkedIsCopiedAndAFailedLinkFailsTheSave) {
  const std::string folder = scratch / "linked";
  writeFiles(folder, {{"one", uniqueBytes(32 * kib, 8)}});
  createDirectories(folder + "/a");
  hardLink(folder + "/one", folder + "/a/two");
  const auto traced = [&](const std::string& e) {
    return runTool({"save", folder}, home.path(), tracer({"linkat:error=" + e}));
  };
  // Too many links already: the name gets its own clone, counted as one.
  const ToolRun saved = traced("EMLINK");
  EXPECT_EQ(saved, (ToolRun{0, savedLine(savedId(saved), folder, "2 files, 66 KB") + notABackup, ""}));
  EXPECT_EQ(linkGroups(savedData(folder, savedId(saved))), "a/two (1); one (1); ");
  // Whichever name the walk meets second is the one that failed.
  const ToolRun failure = traced("EIO");
  EXPECT_TRUE(failure == failed(1, "Couldn't copy " + folder + "/one: Input/output error.") ||
              failure == failed(1, "Couldn't copy " + folder + "/a/two: Input/output error."))
      << ::testing::PrintToString(failure);
  EXPECT_EQ(savedIds(folder).size(), 1u);
  EXPECT_EQ(leftoverNames(CheckpointStore(defaultStore()).folderDirectory(folder)), std::vector<std::string>{});
}

TEST_P(LinksAndAttributes, NoCopyOnWriteComesBackOnFoldersAndFilesThatHadIt) {
  if (GetParam() != Volume::btrfs) GTEST_SKIP() << "the attribute is Btrfs's alone";
  const std::string folder = scratch / "disks";
  // Made before their folder got the attribute, so they don't have it.
  writeFiles(folder, {{"vm/inner/f", "inner"}, {"vm/cow.txt", uniqueBytes(16 * kib, 4)}, {"vm/empty", ""}, {"db", ""}});
  for (const char* item : {"/vm", "/db"}) setInodeFlags(folder + item, FS_NOCOW_FL, true);
  writeFiles(folder, {{"vm/disk.img", uniqueBytes(256 * kib, 5)},
                      {"db", uniqueBytes(64 * kib, 6)},
                      {"plain.txt", uniqueBytes(8 * kib, 7)}});
  const auto expectAttributes = [&](const std::string& root) {
    for (const char* item : {"vm", "vm/disk.img", "db"}) EXPECT_TRUE(isNoCow(root + "/" + item)) << root << item;
    for (const char* item : {"", "vm/inner", "vm/inner/f", "vm/cow.txt", "vm/empty", "plain.txt"})
      EXPECT_FALSE(isNoCow(root + "/" + item)) << root << item;
  };
  expectAttributes(folder);
  const TreeSnapshot before = snapshotTree(folder);

  // With the attribute given first, even those files are cloned: no note of copies.
  const ToolRun saved = tool({"save", folder});
  const std::string id = savedId(saved);
  EXPECT_EQ(saved, (ToolRun{0, savedLine(id, folder, "6 files, 352 KB") + notABackup, ""}));
  expectAttributes(savedData(folder, id));

  removeTree(folder + "/vm");
  writeFile(folder + "/db", "rewritten");
  ASSERT_EQ(tool({"restore", folder, id, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), before);
  expectAttributes(folder);
}

INSTANTIATE_TEST_SUITE_P(Volumes, LinksAndAttributes, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "btrfs" : "xfs"; });

}  // namespace
}  // namespace redomark::testing
