// What the command-line tests cannot reach: restores without the Trash, the
// failures of a whole restore and putting back chosen changes; HOME points at
// a test folder on the same volume as the folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/operations/redomark.h"
#include "core/records/redomark_error.h"
#include "core/store/folder_lock.h"
#include "tests/engine_test_support.h"
#include "tests/error_of.h"
#include "tests/store_checks.h"
#include "tests/test_volumes.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

// A folder with every kind of item, exact modes and nanosecond times.
void makeProject(const std::string& folder) {
  createDirectories(folder + "/src/deep");
  writeFile(folder + "/readme.txt", "hello\n");
  writeFile(folder + "/src/main.cpp", "int main() {}\n");
  writeFile(folder + "/src/deep/data.bin", std::string(70000, 'x'));
  writeFile(folder + "/empty", "");
  ASSERT_EQ(symlink("src/main.cpp", (folder + "/link").c_str()), 0);
  ASSERT_EQ(chmod((folder + "/readme.txt").c_str(), 0640), 0);
  ASSERT_EQ(chmod((folder + "/src/deep").c_str(), 0750), 0);
  setMtimeNs(folder + "/src/main.cpp", 1'700'000'000'123'456'789);
}

void editProject(const std::string& folder) {
  writeFile(folder + "/readme.txt", "changed\n");
  writeFile(folder + "/added.txt", "new");
  ASSERT_EQ(unlink((folder + "/src/main.cpp").c_str()), 0);
  removeTree(folder + "/src/deep");
  ASSERT_EQ(chmod((folder + "/empty").c_str(), 0600), 0);
}

struct Fixture {
  TemporaryHome home{Volume::btrfs};
  ScratchDir scratch{Volume::btrfs};
  Redomark engine;
  std::string folder = scratch / "project";
  Fixture() { makeProject(folder); }
  std::string trash() const { return home.path() + "/.local/share/Trash"; }
};

TEST(Restore, KeepsReplacedFoldersBesideUnderNumberedNamesWithoutTheTrash) {
  Fixture f;
  f.engine.setTrashReplaced(false);
  const Checkpoint saved = f.engine.save(f.folder, std::nullopt, nullptr);
  writeFile(f.folder + "/one", "1");
  const RestoreResult first = f.engine.restore(f.folder, saved.id, nullptr);
  writeFile(f.folder + "/two", "2");
  const RestoreResult second = f.engine.restore(f.folder, saved.id, nullptr);

  EXPECT_EQ(first.replacedItem, f.scratch / "project (replaced by Redomark)");
  EXPECT_EQ(second.replacedItem, f.scratch / "project (replaced by Redomark 2)");
  EXPECT_TRUE(pathExists(*first.replacedItem + "/one"));
  EXPECT_TRUE(pathExists(*second.replacedItem + "/two"));
  EXPECT_FALSE(pathExists(*second.replacedItem + "/one"));
  EXPECT_FALSE(pathExists(f.folder + "/one") || pathExists(f.folder + "/two"));
  ASSERT_TRUE(first.beforeRestore && second.beforeRestore);
  EXPECT_NE(first.beforeRestore->id, second.beforeRestore->id);
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 3u);
  EXPECT_FALSE(pathExists(f.trash()));
}

TEST(Restore, EveryFailureLeavesTheFolderUntouched) {
  Fixture f;
  const Checkpoint saved = f.engine.save(f.folder, std::nullopt, nullptr);
  editProject(f.folder);
  const Checkpoint later = f.engine.save(f.folder, std::nullopt, nullptr);
  const TreeSnapshot edited = snapshotTree(f.folder);
  const auto untouched = [&] {
    EXPECT_EQ(snapshotTree(f.folder), edited);
    EXPECT_EQ(leftoverNames(f.scratch.path()), std::vector<std::string>{});
  };

  const CheckpointStore store = f.engine.storeFor(f.folder);
  EXPECT_EQ(errorOf([&] { withFolderLock(store, f.folder, [&] { f.engine.restore(f.folder, saved.id, nullptr); }); }),
            RedomarkError::busy(f.folder));
  untouched();

  // A checkpoint whose saved tree is gone, and a folder that became a file.
  removeTree(store.dataDirectory(saved));
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, saved.id, nullptr); }), RedomarkError::notInCheckpoint(f.folder));
  untouched();
  removeTree(f.folder);
  writeFile(f.folder, "a file now");
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, later.id, nullptr); }), RedomarkError::notADirectory(f.folder));
  EXPECT_EQ(readFile(f.folder), "a file now");
  EXPECT_EQ(leftoverNames(f.scratch.path()), std::vector<std::string>{});
}

TEST(PutBackChanges, ChoosesSomeAllOrNoneOfTheChanges) {
  Fixture f;
  f.engine.setTrashReplaced(false);
  const Checkpoint saved = f.engine.save(f.folder, std::nullopt, nullptr);
  const TreeSnapshot before = snapshotTree(f.folder);
  editProject(f.folder);
  std::vector<std::string> changed;
  for (const Change& c : f.engine.diff(f.folder, std::nullopt).changes) changed.push_back(c.path);
  // A change of mode alone ("empty") is not a change.
  EXPECT_EQ(changed, (std::vector<std::string>{"added.txt", "readme.txt", "src/deep", "src/deep/data.bin",
                                                "src/main.cpp"}));

  const PutBackResult none = f.engine.putBackChanges(f.folder, std::nullopt, {"not-a-change"}, nullptr);
  EXPECT_FALSE(none.beforePutBack);
  EXPECT_EQ(none.replacedCount + none.removedCount + none.restoredCount, 0);
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 1u);

  const PutBackResult some =
      f.engine.putBackChanges(f.folder, std::nullopt, {"added.txt", "src/deep", "src/deep/data.bin", "readme.txt"}, nullptr);
  ASSERT_TRUE(some.beforePutBack);
  EXPECT_EQ(some.beforePutBack->name, "Before putting back 4 items");
  EXPECT_EQ(some.beforePutBack->kind, Checkpoint::Kind::beforeRestore);
  EXPECT_EQ(some.replacedCount, 1);
  EXPECT_EQ(some.removedCount, 1);
  EXPECT_EQ(some.restoredCount, 1);  // the folder covers its file
  EXPECT_FALSE(some.wholeFolder);
  EXPECT_TRUE(pathExists(f.scratch / "project/added.txt (replaced by Redomark)"));
  TreeSnapshot now = snapshotTree(f.folder);
  EXPECT_EQ(now.at("src/deep/data.bin"), before.at("src/deep/data.bin"));
  EXPECT_EQ(now.at("readme.txt"), before.at("readme.txt"));
  EXPECT_FALSE(now.contains("src/main.cpp"));
  removeTree(f.folder + "/added.txt (replaced by Redomark)");

  std::set<std::string> all;
  for (const Change& c : f.engine.diff(f.folder, saved.id).changes) all.insert(c.path);
  const PutBackResult whole = f.engine.putBackChanges(f.folder, saved.id, all, nullptr);
  EXPECT_TRUE(whole.wholeFolder);
  ASSERT_TRUE(whole.beforePutBack);
  EXPECT_TRUE(whole.beforePutBack->name->starts_with("Before putting back ")) << *whole.beforePutBack->name;
  EXPECT_FALSE(whole.beforePutBack->name->ends_with(" items"));
  EXPECT_EQ(whole.restoredCount + whole.replacedCount + whole.removedCount, static_cast<int64_t>(all.size()));
  EXPECT_EQ(snapshotTree(f.folder), before);
}

}  // namespace
}  // namespace redomark::testing
