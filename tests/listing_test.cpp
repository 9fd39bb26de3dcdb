// What the engine offers beyond the command line: every saved folder, newest
// first, and deleting a checkpoint, also of a folder that is gone or on
// another volume. The nearest existing parent of a gone folder is found by
// the tool's list, diff and restore of one.
#include <gtest/gtest.h>

#include "core/fs/file_ops.h"
#include "core/operations/redomark.h"
#include "core/store/checkpoint_store.h"
#include "tests/engine_test_support.h"
#include "tests/path_helpers.h"
#include "tests/store_fixture.h"

namespace redomark {
namespace {

using testing::ids;
using testing::ScratchDir;
using testing::TemporaryHome;
using testing::Volume;

TEST(Listing, ListsFoldersNewestFirstAndDeletesCheckpoints) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  ScratchDir elsewhere(Volume::xfs);
  const Redomark engine;
  const std::string a = scratch / "a";
  const std::string b = scratch / "b";
  testing::makeDirectory(a);
  testing::makeDirectory(b);

  // The volumes' stores are shared with other tests: only this one's folders count.
  const auto ownFolders = [&] {
    std::vector<FolderSummary> folders = engine.listFolders();
    std::erase_if(folders, [&](const FolderSummary& f) { return f.path != a && f.path != b && f.path != elsewhere.path(); });
    return folders;
  };
  EXPECT_TRUE(ownFolders().empty());
  const Checkpoint a1 = engine.save(a, std::nullopt, nullptr);
  const Checkpoint b1 = engine.save(b, std::nullopt, nullptr);
  const Checkpoint a2 = engine.save(a, std::nullopt, nullptr);
  const Checkpoint other = engine.save(elsewhere.path(), std::nullopt, nullptr);

  const std::vector<FolderSummary> folders = ownFolders();
  ASSERT_EQ(folders.size(), 3u) << "the store of the other volume is listed too";
  EXPECT_EQ(folders[0].path, elsewhere.path());
  EXPECT_EQ(ids(folders[0].checkpoints), std::vector<std::string>{other.id});
  EXPECT_EQ(folders[1].path, a);
  EXPECT_EQ(ids(folders[1].checkpoints), (std::vector<std::string>{a1.id, a2.id}));
  EXPECT_EQ(folders[2].path, b);
  EXPECT_EQ(ids(folders[2].checkpoints), std::vector<std::string>{b1.id});

  engine.deleteCheckpoint(a1);
  EXPECT_EQ(engine.listCheckpoints(a), std::vector<Checkpoint>{a2});
  removeTree(b);
  engine.deleteCheckpoint(b1);
  EXPECT_TRUE(engine.listCheckpoints(b).empty());
  EXPECT_FALSE(pathExists(CheckpointStore(home.defaultStoreRoot()).folderDirectory(b)));
  engine.deleteCheckpoint(other);
  EXPECT_TRUE(engine.listCheckpoints(elsewhere.path()).empty());
}

}  // namespace
}  // namespace redomark
