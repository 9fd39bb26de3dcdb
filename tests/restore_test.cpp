// What the command-line tests cannot reach: restores without the Trash, their
// refusals, and putting back chosen changes.
#include "core/store/folder_lock.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

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

}  // namespace
}  // namespace redomark::testing
