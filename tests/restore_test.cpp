// What the command-line tests cannot reach: restores without the Trash, the
// failures of a whole restore and putting back chosen changes.
#include "core/store/folder_lock.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

struct Fixture {
  Fixture() {
    writeFiles(folder, {{"readme.txt", "hello\n"},
                        {"src/main.cpp", "int main() {}\n"},
                        {"src/deep/data.bin", std::string(70000, 'x')},
                        {"empty", ""}});
    engine.setTrashReplaced(false);
    saved = engine.save(folder, std::nullopt, nullptr);
    before = snapshotTree(folder);
    writeFiles(folder, {{"readme.txt", "changed\n"}, {"added.txt", "new"}});
    removeTree(folder + "/src/main.cpp");
    removeTree(folder + "/src/deep");
    chmod((folder + "/empty").c_str(), 0600);
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
  TreeSnapshot replaced = withoutRoot(snapshotTree(f.folder));
  const CheckpointStore store = f.engine.storeFor(f.folder);
  EXPECT_EQ(errorOf([&] { withFolderLock(store, f.folder, [&] { f.engine.restore(f.folder, f.saved.id, nullptr); }); }),
            RedomarkError::busy(f.folder));
  for (const char* name : {"", " 2"}) {
    const RestoreResult r = f.engine.restore(f.folder, f.saved.id, nullptr);
    EXPECT_EQ(r.replacedItem, f.folder + " (replaced by Redomark" + name + ")");
    EXPECT_EQ(withoutRoot(snapshotTree(*r.replacedItem)), replaced);
    EXPECT_EQ(snapshotTree(f.folder), f.before);
    replaced = withoutRoot(snapshotTree(f.folder));
    EXPECT_EQ(r.beforeRestore.value_or(Checkpoint{}).kind, Checkpoint::Kind::beforeRestore);
  }
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 3u);
  EXPECT_FALSE(pathExists(f.home.path() + "/.local/share/Trash"));
  // A checkpoint whose saved tree is gone, and a folder that became a file.
  removeTree(store.dataDirectory(f.saved));
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, f.saved.id, nullptr); }),
            RedomarkError::notInCheckpoint(f.folder));
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
  for (const char* aside : {"/added.txt", "/readme.txt"}) removeTree(f.folder + aside + " (replaced by Redomark)");

  const std::vector<std::string> rest = f.changes(f.saved.id);
  const PutBackResult whole = f.engine.putBackChanges(f.folder, f.saved.id, {rest.begin(), rest.end()}, nullptr);
  const std::string name = whole.beforePutBack.value_or(Checkpoint{}).name.value_or("");
  EXPECT_TRUE(whole.wholeFolder && name.starts_with("Before putting back ") && !name.ends_with(" items")) << name;
  EXPECT_EQ(whole.restoredCount + whole.replacedCount + whole.removedCount, static_cast<int64_t>(rest.size()));
  EXPECT_EQ(snapshotTree(f.folder), f.before);
}

}  // namespace
}  // namespace redomark::testing
