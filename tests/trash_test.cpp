// Items moved to the Trash of their own volume: the home's, an administrator's
// sticky .Trash or a private .Trash-uid, each checked before use. And what the
// command-line tests cannot reach: restores without the Trash and their refusals.
#include "core/fs/trash.h"

#include <array>

#include "core/fs/path_text.h"
#include "core/store/folder_lock.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

// The item at path, its parent reached as the engine reaches it (canonical,
// then opened without following a link), has left its place for
// trash/files/<name>, contents intact, with an info file that names where it
// was, percent-encoded.
void expectTrashed(const std::string& trash, const std::string& name, const std::string& path,
                   const std::string& inside, const std::string& content, const std::string& encoded = "") {
  const FsResult<DirectoryHandle> parent = DirectoryHandle::open(canonicalPath(parentPath(path)));
  ASSERT_TRUE(parent) << path;
  const std::string original = canonicalPath(parentPath(path)) + "/" + lastComponent(path);
  EXPECT_EQ(redomark::moveToTrash(*parent, lastComponent(path)), trash + "/files/" + name);
  EXPECT_FALSE(pathExists(original, false)) << original;
  EXPECT_EQ(readFile(trash + "/files/" + name + inside), content);
  const std::string info = readFile(trash + "/info/" + name + ".trashinfo");
  EXPECT_TRUE(
      matchesPattern(info, "[Trash Info]\nPath=" + (encoded.empty() ? original : encoded) + "\nDeletionDate=*T*\n"))
      << info;
}

}  // namespace

// The home's Trash, for items on the home's volume, is the restore command's test.
TEST(MoveToTrash, ItemsOnAnotherVolumeGoToThatVolumesOwnTrashCheckedBeforeUse) {
  const TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::xfs);
  const std::string top = canonicalPath(volumeRoot(Volume::xfs)), uid = std::to_string(getuid());
  // Made at the volume's top; removed at the end, or with the test volumes after a failure.
  const std::string own = top + "/.Trash-" + uid, shared = top + "/.Trash";
  const std::string odd = "report 1 \xC3\xBC%#.txt";
  writeFiles(scratch.path(), {{odd, "odd"},
                              {"real/project/src/main.c", "int main;"},
                              {"a/notes.txt", "from a"},
                              {"b/notes.txt", "from b"},
                              {".profile", "mine"},
                              {"kept", "k"}});
  expectTrashed(own, odd, scratch / odd, "", "odd", canonicalPath(scratch.path()) + "/report%201%20%C3%BC%25%23.txt");
  EXPECT_EQ(permissions(own), 0700u);
  writeFile(own + "/files/.profile", "stray");
  ASSERT_EQ(symlink((scratch / "real").c_str(), (scratch / "link").c_str()), 0);
  // A directory moves whole; a link on the way to it is recorded resolved. Two
  // items of one name both survive; an entry in files/ without an info file
  // keeps its name too and is left alone.
  const std::array<std::string, 4> rows[] = {{"project", "link/project", "/src/main.c", "int main;"},
                                             {"notes.txt", "a/notes.txt", "", "from a"},
                                             {"notes.2.txt", "b/notes.txt", "", "from b"},
                                             {".profile.2", ".profile", "", "mine"}};
  for (const auto& [name, path, inside, content] : rows) expectTrashed(own, name, scratch / path, inside, content);
  EXPECT_EQ(readFile(own + "/files/.profile"), "stray");
  EXPECT_FALSE(pathExists(own + "/info/.profile.trashinfo"));

  // A shared .Trash is used only when an administrator made it sticky; a
  // per-user folder in it that others may enter is passed over.
  createDirectories(shared, 0777);
  const std::tuple<std::string, uid_t, mode_t, mode_t, bool> sharedTrash[] = {{"plain", 0, 0777, 0, false},
                                                                              {"sticky", 0, 01777, 0, true},
                                                                              {"foreign", 42102, 01777, 0, false},
                                                                              {"open", 0, 01777, 0777, false}};
  for (const auto& [item, owner, mode, perUser, used] : sharedTrash) {
    writeFile(scratch / item, item);
    ASSERT_EQ(chown(shared.c_str(), owner, owner) | chmod(shared.c_str(), mode), 0);
    ASSERT_EQ(perUser ? chmod((shared + "/" + uid).c_str(), perUser) : 0, 0);
    expectTrashed(used ? shared + "/" + uid : own, item, scratch / item, "", item);
  }
  // A link in place of the trash leads nowhere: the item stays where it was.
  removeTree(shared);
  removeTree(own);
  createDirectories(scratch / "elsewhere");
  ASSERT_EQ(symlink((scratch / "elsewhere").c_str(), own.c_str()), 0);
  EXPECT_THROW(redomark::moveToTrash(*DirectoryHandle::open(canonicalPath(scratch.path())), "kept"), FsError);
  EXPECT_EQ(readFile(scratch / "kept"), "k");
  EXPECT_EQ(sortedNames(scratch / "elsewhere"), std::vector<std::string>{});
  ASSERT_EQ(unlink(own.c_str()), 0);
}

// A failed move leaves the item in place and no info file: the restore that
// sends the replaced copy to the Trash, its only caller, swallows the error,
// and the fault-injection test fails both moves and the info file's writing.

TEST(Restore, WithoutTheTrashKeepsWhatItReplacesBesideUnderNumberedNamesAndFailsWithoutATrace) {
  const TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  Redomark engine;
  engine.setTrashReplaced(false);
  const std::string folder = scratch / "project";
  writeFiles(
      folder,
      {{"readme.txt", "hello\n"}, {"src/main.cpp", "int main() {}\n"}, {"src/deep/data.bin", std::string(70000, 'x')}});
  const Checkpoint saved = engine.save(folder, std::nullopt, nullptr);
  const TreeSnapshot before = snapshotTree(folder);
  writeFiles(folder, {{"readme.txt", "changed\n"}, {"added.txt", "new"}});
  removeTree(folder + "/src/main.cpp");
  removeTree(folder + "/src/deep");
  // The whole folder, twice.
  TreeSnapshot replaced = withoutRoot(snapshotTree(folder));
  withFolderLock(engine.storeFor(folder), folder, [&] {
    EXPECT_EQ(errorOf([&] { engine.restore(folder, saved.id, nullptr); }), RedomarkError::busy(folder));
  });
  for (const char* name : {"", " 2"}) {
    const RestoreResult r = engine.restore(folder, saved.id, nullptr);
    EXPECT_EQ(r.replacedItem, folder + " (replaced by Redomark" + name + ")");
    EXPECT_EQ(withoutRoot(snapshotTree(*r.replacedItem)), replaced);
    EXPECT_EQ(snapshotTree(folder), before);
    replaced = withoutRoot(snapshotTree(folder));
  }
  EXPECT_EQ(engine.listCheckpoints(folder).size(), 3u);
  EXPECT_FALSE(pathExists(home.path() + "/.local/share/Trash"));
  // A folder that became a file.
  removeTree(folder);
  writeFile(folder, "a file now");
  EXPECT_EQ(errorOf([&] { engine.restore(folder, saved.id, nullptr); }), RedomarkError::notADirectory(folder));
  EXPECT_EQ(readFile(folder), "a file now");
  EXPECT_EQ(leftoverNames(scratch.path()), std::vector<std::string>{});
}

}  // namespace redomark::testing
