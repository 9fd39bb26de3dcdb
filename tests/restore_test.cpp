// What the command-line tests cannot reach: restores without the Trash, the
// failures of a whole restore and putting back chosen changes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/operations/redomark.h"
#include "core/store/folder_lock.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

struct Fixture {
  Fixture() {
    createDirectories(folder + "/src/deep");
    writeFile(folder + "/readme.txt", "hello\n");
    writeFile(folder + "/src/main.cpp", "int main() {}\n");
    writeFile(folder + "/src/deep/data.bin", std::string(70000, 'x'));
    writeFile(folder + "/empty", "");
    engine.setTrashReplaced(false);
    saved = engine.save(folder, std::nullopt, nullptr);
    before = snapshotTree(folder);
    writeFile(folder + "/readme.txt", "changed\n");
    writeFile(folder + "/added.txt", "new");
    removeTree(folder + "/src/main.cpp");
    removeTree(folder + "/src/deep");
    chmod((folder + "/empty").c_str(), 0600);
  }
  static TreeSnapshot contents(const std::string& root) {
    TreeSnapshot tree = snapshotTree(root);
    tree.erase("");
    return tree;
  }
  std::vector<std::string> changes(const std::optional<std::string>& id) const {
    std::vector<std::string> out;
    for (const Change& c : engine.diff(folder, id).changes) out.push_back(c.path);
    return out;
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
  TreeSnapshot replaced = Fixture::contents(f.folder);
  const CheckpointStore store = f.engine.storeFor(f.folder);
  EXPECT_EQ(errorOf([&] { withFolderLock(store, f.folder, [&] { f.engine.restore(f.folder, f.saved.id, nullptr); }); }),
            RedomarkError::busy(f.folder));
  for (const char* name : {"", " 2"}) {
    const RestoreResult r = f.engine.restore(f.folder, f.saved.id, nullptr);
    EXPECT_EQ(r.replacedItem, f.folder + " (replaced by Redomark" + name + ")");
    EXPECT_EQ(Fixture::contents(*r.replacedItem), replaced);
    EXPECT_EQ(snapshotTree(f.folder), f.before);
    replaced = Fixture::contents(f.folder);
    ASSERT_TRUE(r.beforeRestore);
    EXPECT_EQ(r.beforeRestore->kind, Checkpoint::Kind::beforeRestore);
  }
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 3u);
  EXPECT_FALSE(pathExists(f.home.path() + "/.local/share/Trash"));
  // A checkpoint whose saved tree is gone, and a folder that became a file.
  removeTree(store.dataDirectory(f.saved));
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, f.saved.id, nullptr); }), RedomarkError::notInCheckpoint(f.folder));
  EXPECT_EQ(snapshotTree(f.folder), f.before);
  const std::string later = f.engine.listCheckpoints(f.folder).back().id;
  removeTree(f.folder);
  writeFile(f.folder, "a file now");
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, later, nullptr); }), RedomarkError::notADirectory(f.folder));
  EXPECT_EQ(readFile(f.folder), "a file now");
  EXPECT_EQ(leftoverNames(f.scratch.path()), std::vector<std::string>{});
}

TEST(PutBackChanges, ChoosesSomeAllOrNoneOfTheChanges) {
  Fixture f;
  // A change of mode alone ("empty") is not a change.
  EXPECT_EQ(f.changes(std::nullopt),
            (std::vector<std::string>{"added.txt", "readme.txt", "src/deep", "src/deep/data.bin", "src/main.cpp"}));
  const PutBackResult none = f.engine.putBackChanges(f.folder, std::nullopt, {"not-a-change"}, nullptr);
  EXPECT_FALSE(none.beforePutBack);
  EXPECT_EQ(none.replacedCount + none.removedCount + none.restoredCount, 0);
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 1u);

  const PutBackResult some = f.engine.putBackChanges(
      f.folder, std::nullopt, {"added.txt", "src/deep", "src/deep/data.bin", "readme.txt"}, nullptr);
  ASSERT_TRUE(some.beforePutBack);
  EXPECT_EQ(some.beforePutBack->name, "Before putting back 4 items");
  EXPECT_EQ(some.beforePutBack->kind, Checkpoint::Kind::beforeRestore);
  // The folder covers its file.
  EXPECT_EQ(std::vector<int64_t>({some.replacedCount, some.removedCount, some.restoredCount, some.wholeFolder}),
            std::vector<int64_t>({1, 1, 1, 0}));
  EXPECT_EQ(readFile(f.folder + "/added.txt (replaced by Redomark)"), "new");
  EXPECT_EQ(readFile(f.folder + "/readme.txt (replaced by Redomark)"), "changed\n");
  for (const char* aside : {"/added.txt", "/readme.txt"}) removeTree(f.folder + aside + " (replaced by Redomark)");
  TreeSnapshot now = Fixture::contents(f.folder), expected = f.before;
  for (const char* unchosen : {"", "src", "src/main.cpp", "empty"}) expected.erase(unchosen), now.erase(unchosen);
  EXPECT_TRUE(now == expected);

  const std::vector<std::string> rest = f.changes(f.saved.id);
  const PutBackResult whole = f.engine.putBackChanges(f.folder, f.saved.id, {rest.begin(), rest.end()}, nullptr);
  EXPECT_TRUE(whole.wholeFolder);
  ASSERT_TRUE(whole.beforePutBack);
  EXPECT_TRUE(whole.beforePutBack->name->starts_with("Before putting back ")) << *whole.beforePutBack->name;
  EXPECT_FALSE(whole.beforePutBack->name->ends_with(" items"));
  EXPECT_EQ(whole.restoredCount + whole.replacedCount + whole.removedCount, static_cast<int64_t>(rest.size()));
  EXPECT_EQ(snapshotTree(f.folder), f.before);
}

}  // namespace
}  // namespace redomark::testing
