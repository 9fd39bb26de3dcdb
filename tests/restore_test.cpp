// What the command-line tests cannot reach: restores without the Trash, their
// refusals, and putting back chosen changes.
#include "core/store/folder_lock.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

struct Fixture {
  Fixture() {
    writeFiles(folder, {{"readme.txt", "hello\n"},
                        {"src/main.cpp", "int main() {}\n"},
                        {"src/deep/data.bin", std::string(70000, 'x')}});
    engine.setTrashReplaced(false);
    saved = engine.save(folder, std::nullopt, nullptr);
    before = snapshotTree(folder);
    writeFiles(folder, {{"readme.txt", "changed\n"}, {"added.txt", "new"}});
    removeTree(folder + "/src/main.cpp");
    removeTree(folder + "/src/deep");
  }
  TemporaryHome home{Volume::btrfs};
  ScratchDir scratch{Volume::btrfs};
  Redomark engine;
  std::string folder = scratch / "project";
  Checkpoint saved;
  TreeSnapshot before;
};

TEST(Restore, WithoutTheTrashKeepsReplacedFoldersBesideUnderNumberedNamesAndFailsWithoutATrace) {
  Fixture f;
  TreeSnapshot replaced = withoutRoot(snapshotTree(f.folder));
  EXPECT_EQ(errorOf([&] {
              withFolderLock(f.engine.storeFor(f.folder), f.folder,
                             [&] { f.engine.restore(f.folder, f.saved.id, nullptr); });
            }),
            RedomarkError::busy(f.folder));
  for (const char* name : {"", " 2"}) {
    const RestoreResult r = f.engine.restore(f.folder, f.saved.id, nullptr);
    EXPECT_EQ(r.replacedItem, f.folder + " (replaced by Redomark" + name + ")");
    EXPECT_EQ(withoutRoot(snapshotTree(*r.replacedItem)), replaced);
    EXPECT_EQ(snapshotTree(f.folder), f.before);
    replaced = withoutRoot(snapshotTree(f.folder));
  }
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 3u);
  EXPECT_FALSE(pathExists(f.home.path() + "/.local/share/Trash"));
  // A folder that became a file.
  removeTree(f.folder);
  writeFile(f.folder, "a file now");
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, f.saved.id, nullptr); }), RedomarkError::notADirectory(f.folder));
  EXPECT_EQ(readFile(f.folder), "a file now");
  EXPECT_EQ(leftoverNames(f.scratch.path()), std::vector<std::string>{});
}

TEST(PutBackChanges, ChoosesSomeOrNoneOfTheChanges) {
  Fixture f;
  const PutBackResult none = f.engine.putBackChanges(f.folder, std::nullopt, {"not-a-change"}, nullptr);
  EXPECT_TRUE(!none.beforePutBack && none.replacedCount + none.removedCount + none.restoredCount == 0);
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 1u);

  // The folder covers its file; replaced items stay beside under their new names.
  const PutBackResult some = f.engine.putBackChanges(
      f.folder, std::nullopt, {"added.txt", "src/deep", "src/deep/data.bin", "readme.txt"}, nullptr);
  ASSERT_TRUE(some.beforePutBack);
  EXPECT_EQ(std::make_tuple(*some.beforePutBack->name, some.beforePutBack->kind, some.replacedCount, some.removedCount,
                            some.restoredCount, some.wholeFolder),
            std::make_tuple("Before putting back 4 items", Checkpoint::Kind::beforeRestore, 1, 1, 1, false));
  EXPECT_EQ(readFile(f.folder + "/added.txt (replaced by Redomark)") +
                readFile(f.folder + "/readme.txt (replaced by Redomark)"),
            "newchanged\n");
  // What was put back and what was not is the attack test's (put back of chosen changes).
}

}  // namespace
}  // namespace redomark::testing
