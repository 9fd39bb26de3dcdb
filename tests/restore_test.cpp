// Whole-folder restore and put back on real volumes, with HOME pointed at a
// test folder on the same volume so that store and Trash are both there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/fs/file_ops.h"
#include "core/operations/redomark.h"
#include "core/records/redomark_error.h"
#include "core/store/folder_lock.h"
#include "tests/engine_test_support.h"
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
  const timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/src/main.cpp").c_str(), times, 0), 0);
}

void editProject(const std::string& folder) {
  writeFile(folder + "/readme.txt", "changed\n");
  writeFile(folder + "/added.txt", "new");
  ASSERT_EQ(unlink((folder + "/src/main.cpp").c_str()), 0);
  removeTree(folder + "/src/deep");
  ASSERT_EQ(chmod((folder + "/empty").c_str(), 0600), 0);
}

std::string errorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const RedomarkError& e) {
    return e.what();
  }
  return "no error";
}

struct Fixture {
  TemporaryHome home{Volume::btrfs};
  ScratchDir scratch{Volume::btrfs};
  Redomark engine;
  std::string folder = scratch / "project";
  Fixture() { makeProject(folder); }
  std::string trash() const { return home.path() + "/.local/share/Trash"; }
};

TEST(Restore, GivesBackTheSavedTreeAndSendsTheReplacedOneToTheTrash) {
  Fixture f;
  const Checkpoint saved = f.engine.save(f.folder, "first", nullptr);
  const TreeSnapshot before = snapshotTree(f.folder);
  editProject(f.folder);
  const TreeSnapshot edited = snapshotTree(f.folder);

  const RestoreResult result = f.engine.restore(f.folder, std::nullopt, nullptr);
  EXPECT_EQ(snapshotTree(f.folder), before);

  ASSERT_TRUE(result.beforeRestore);
  EXPECT_EQ(result.beforeRestore->kind, Checkpoint::Kind::beforeRestore);
  EXPECT_TRUE(result.beforeRestore->name->starts_with("Before putting back ")) << *result.beforeRestore->name;
  EXPECT_GT(result.beforeRestore->name->size(), std::string("Before putting back ").size() + 8);
  const std::vector<Checkpoint> listed = f.engine.listCheckpoints(f.folder);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, saved.id);
  EXPECT_EQ(listed[1], *result.beforeRestore);

  ASSERT_TRUE(result.replacedItem);
  EXPECT_EQ(*result.replacedItem, f.trash() + "/files/project (replaced by Redomark)");
  EXPECT_EQ(snapshotTree(*result.replacedItem), edited);
  const std::string info = readFile(f.trash() + "/info/project (replaced by Redomark).trashinfo");
  EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=" + f.scratch.path() + "/project%20%28replaced%20by%20Redomark%29\n"
                               "DeletionDate="))
      << info;
  EXPECT_EQ(countEntriesStartingWith(f.scratch.path(), ".redomark-restore-"), 0);
  EXPECT_EQ(countEntriesStartingWith(f.scratch.path(), "project "), 0);

  // The automatic checkpoint undoes the restore.
  f.engine.restore(f.folder, result.beforeRestore->id, nullptr);
  EXPECT_EQ(snapshotTree(f.folder), edited);
}

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

TEST(Restore, RecreatesADeletedFolderWithItsParentsAndSavesNothing) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string folder = scratch / "a/b/project";
  makeProject(folder);
  engine.save(folder, std::nullopt, nullptr);
  const TreeSnapshot before = snapshotTree(folder);
  removeTree(scratch / "a");

  const RestoreResult result = engine.restore(folder, std::nullopt, nullptr);
  EXPECT_EQ(snapshotTree(folder), before);
  EXPECT_FALSE(result.beforeRestore);
  EXPECT_FALSE(result.replacedItem);
  EXPECT_EQ(engine.listCheckpoints(folder).size(), 1u);
  EXPECT_EQ(countEntriesStartingWith(scratch / "a/b", ".redomark-restore-"), 0);
}

TEST(Restore, EveryFailureLeavesTheFolderUntouched) {
  Fixture f;
  const Checkpoint saved = f.engine.save(f.folder, std::nullopt, nullptr);
  editProject(f.folder);
  const TreeSnapshot edited = snapshotTree(f.folder);
  const auto untouched = [&] {
    EXPECT_EQ(snapshotTree(f.folder), edited);
    EXPECT_EQ(countEntriesStartingWith(f.scratch.path(), ".redomark-restore-"), 0);
  };

  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, "nosuch", nullptr); }),
            RedomarkError::checkpointNotFound("nosuch").what());
  untouched();

  const CheckpointStore store = f.engine.storeFor(f.folder);
  EXPECT_EQ(errorOf([&] {
              withFolderLock(store, f.folder, [&] { f.engine.restore(f.folder, std::nullopt, nullptr); });
            }),
            RedomarkError::busy(f.folder).what());
  untouched();

  // Cancelled once the automatic checkpoint is saved and the restore's own clone runs.
  int finishingSeen = 0;
  OperationControl* self = nullptr;
  OperationControl control([&](const OperationProgress& p) {
    if (p.phase == OperationProgress::Phase::finishing) ++finishingSeen;
    if (finishingSeen > 0 && p.phase == OperationProgress::Phase::copying) self->cancel();
  });
  self = &control;
  for (int i = 0; i < 5000; ++i) writeFile(f.folder + "/many" + std::to_string(i), "x");
  const Checkpoint bigger = f.engine.save(f.folder, std::nullopt, nullptr);
  removeTree(f.folder + "/src");
  const TreeSnapshot beforeCancel = snapshotTree(f.folder);
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, bigger.id, &control); }), RedomarkError::cancelled().what());
  EXPECT_EQ(snapshotTree(f.folder), beforeCancel);
  EXPECT_EQ(countEntriesStartingWith(f.scratch.path(), ".redomark-restore-"), 0);
  const std::vector<Checkpoint> listed = f.engine.listCheckpoints(f.folder);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed.back().kind, Checkpoint::Kind::beforeRestore);

  // A checkpoint whose saved tree is gone, and a folder that became a file.
  removeTree(store.dataDirectory(saved));
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, saved.id, nullptr); }),
            RedomarkError::notInCheckpoint(f.folder).what());
  EXPECT_EQ(snapshotTree(f.folder), beforeCancel);
  removeTree(f.folder);
  writeFile(f.folder, "a file now");
  EXPECT_EQ(errorOf([&] { f.engine.restore(f.folder, bigger.id, nullptr); }),
            RedomarkError::notADirectory(f.folder).what());
  EXPECT_EQ(readFile(f.folder), "a file now");
  EXPECT_EQ(countEntriesStartingWith(f.scratch.path(), ".redomark-restore-"), 0);
}

TEST(PutBackItem, FilesAndFoldersComeBackAndTheCurrentOnesMoveAside) {
  Fixture f;
  f.engine.save(f.folder, std::nullopt, nullptr);
  const TreeSnapshot saved = snapshotTree(f.folder);
  editProject(f.folder);

  const RestoreResult file = f.engine.putBackItem(f.folder, "src/main.cpp", std::nullopt, nullptr);
  EXPECT_FALSE(file.beforeRestore);
  EXPECT_FALSE(file.replacedItem);
  EXPECT_EQ(snapshotTree(f.folder).at("src/main.cpp"), saved.at("src/main.cpp"));

  // A missing parent is created and a changed file is swapped out to the Trash.
  const RestoreResult deep = f.engine.putBackItem(f.folder, "src//deep/data.bin/", std::nullopt, nullptr);
  EXPECT_EQ(snapshotTree(f.folder).at("src/deep/data.bin"), saved.at("src/deep/data.bin"));
  EXPECT_FALSE(deep.replacedItem);
  const RestoreResult readme = f.engine.putBackItem(f.folder, "readme.txt", std::nullopt, nullptr);
  EXPECT_EQ(readme.replacedItem, f.trash() + "/files/readme.txt (replaced by Redomark)");
  EXPECT_EQ(readFile(*readme.replacedItem), "changed\n");
  EXPECT_EQ(readFile(f.folder + "/readme.txt"), "hello\n");

  // A whole subfolder, holding an addition, is put back as saved.
  writeFile(f.folder + "/src/deep/extra", "x");
  const RestoreResult sub = f.engine.putBackItem(f.folder, "src", std::nullopt, nullptr);
  ASSERT_TRUE(sub.replacedItem);
  EXPECT_TRUE(pathExists(*sub.replacedItem + "/deep/extra"));
  TreeSnapshot now = snapshotTree(f.folder);
  for (const auto& [path, facts] : saved)
    if (path.starts_with("src/")) {
      EXPECT_EQ(now.at(path), facts) << path;
    }
  EXPECT_FALSE(now.contains("src/deep/extra"));

  // An unchanged file stays the very same file.
  struct stat was {}, is {};
  ASSERT_EQ(stat((f.folder + "/src/main.cpp").c_str(), &was), 0);
  const RestoreResult same = f.engine.putBackItem(f.folder, "src/main.cpp", std::nullopt, nullptr);
  ASSERT_EQ(stat((f.folder + "/src/main.cpp").c_str(), &is), 0);
  EXPECT_EQ(was.st_ino, is.st_ino);
  EXPECT_FALSE(same.replacedItem);
  EXPECT_EQ(f.engine.listCheckpoints(f.folder).size(), 1u);
  EXPECT_EQ(countEntriesStartingWith(f.folder, ".redomark-restore-"), 0);
  EXPECT_EQ(countEntriesStartingWith(f.folder + "/src", ".redomark-restore-"), 0);
}

TEST(PutBackItem, RefusesBadPathsLinkedParentsAndItemsNeverSaved) {
  Fixture f;
  f.engine.save(f.folder, std::nullopt, nullptr);
  for (const std::string bad : {"../x", "/x", "./x", "src/../readme.txt", "", "/"})
    EXPECT_EQ(errorOf([&] { f.engine.putBackItem(f.folder, bad, std::nullopt, nullptr); }),
              RedomarkError::invalidRelativePath(bad).what())
        << bad;
  EXPECT_EQ(errorOf([&] { f.engine.putBackItem(f.folder, "never", std::nullopt, nullptr); }),
            RedomarkError::notInCheckpoint("never").what());

  const std::string outside = f.scratch / "outside";
  createDirectories(outside);
  removeTree(f.folder + "/src");
  ASSERT_EQ(symlink(outside.c_str(), (f.folder + "/src").c_str()), 0);
  EXPECT_EQ(errorOf([&] { f.engine.putBackItem(f.folder, "src/main.cpp", std::nullopt, nullptr); }),
            RedomarkError::invalidRelativePath("src/main.cpp").what());
  EXPECT_FALSE(pathExists(outside + "/main.cpp"));
  EXPECT_EQ(countEntriesStartingWith(outside, ".redomark-restore-"), 0);
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

TEST(SavedItemURL, NamesTheItemInsideTheSavedTree) {
  Fixture f;
  const Checkpoint saved = f.engine.save(f.folder, std::nullopt, nullptr);
  const std::string url = f.engine.savedItemURL(saved, "src//main.cpp/");
  EXPECT_EQ(url, f.engine.storeFor(f.folder).dataDirectory(saved) + "/src/main.cpp");
  EXPECT_EQ(readFile(url), "int main() {}\n");
  EXPECT_EQ(errorOf([&] { f.engine.savedItemURL(saved, "../x"); }), RedomarkError::invalidRelativePath("../x").what());
}

}  // namespace
}  // namespace redomark::testing
