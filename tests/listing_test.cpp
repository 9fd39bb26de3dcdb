#include <gtest/gtest.h>

#include "core/fs/file_ops.h"
#include "core/operations/redomark.h"
#include "core/store/checkpoint_store.h"
#include "tests/engine_test_support.h"

namespace redomark {
namespace {

using testing::ScratchDir;
using testing::TemporaryHome;
using testing::Volume;

std::vector<std::string> ids(const std::vector<Checkpoint>& checkpoints) {
  std::vector<std::string> out;
  for (const Checkpoint& c : checkpoints) out.push_back(c.id);
  return out;
}

TEST(Listing, ListsFoldersNewestFirstAndMeasuresPrivateSpace) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string a = scratch / "a";
  const std::string b = scratch / "b";
  testing::makeDirectory(a);
  testing::makeDirectory(b);
  const std::string big(256 * 1024, 'q');
  testing::writeFile(a + "/big", big);

  EXPECT_TRUE(engine.listCheckpoints(a).empty());
  EXPECT_TRUE(engine.listFolders().empty());
  const Checkpoint a1 = engine.save(a, std::nullopt, nullptr);
  const Checkpoint b1 = engine.save(b, std::nullopt, nullptr);
  const Checkpoint a2 = engine.save(a, std::nullopt, nullptr);
  EXPECT_NE(a1.id, a2.id);

  const std::vector<FolderSummary> folders = engine.listFolders();
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0].path, a);
  EXPECT_EQ(ids(folders[0].checkpoints), (std::vector<std::string>{a1.id, a2.id}));
  EXPECT_EQ(folders[1].path, b);
  EXPECT_EQ(ids(folders[1].checkpoints), std::vector<std::string>{b1.id});

  // Two checkpoints share the saved data; only one alone holds it privately.
  engine.deleteCheckpoint(a1);
  EXPECT_EQ(engine.listCheckpoints(a), std::vector<Checkpoint>{a2});
  EXPECT_EQ(engine.spaceUsed(a2), 0);
  testing::writeFile(a + "/big", std::string(256 * 1024, 'r'));
  EXPECT_GE(engine.spaceUsed(a2), 256 * 1024);

  // A folder that is gone still finds its store through its nearest parent.
  removeTree(b);
  EXPECT_EQ(engine.listCheckpoints(b), std::vector<Checkpoint>{b1});
  engine.deleteCheckpoint(b1);
  EXPECT_TRUE(engine.listCheckpoints(b).empty());
  EXPECT_FALSE(pathExists(CheckpointStore(home.defaultStoreRoot()).folderDirectory(b)));
}

TEST(Listing, FoldersOnOtherVolumesUseTheirVolumesStore) {
  TemporaryHome home(Volume::btrfs);
  const Redomark engine;
  for (Volume volume : {Volume::btrfs2, Volume::xfs}) {
    ScratchDir scratch(volume);
    testing::writeFile(scratch / "f", "data");
    const Checkpoint saved = engine.save(scratch.path(), std::nullopt, nullptr);
    const CheckpointStore store(testing::volumeRoot(volume) + "/.redomark-checkpoints");
    EXPECT_TRUE(pathExists(store.checkpointDirectory(saved) + "/data/f")) << scratch.path();
    EXPECT_EQ(saved.notClonedCount, 0);
    EXPECT_EQ(engine.listCheckpoints(scratch.path()), std::vector<Checkpoint>{saved});
    engine.deleteCheckpoint(saved);
  }
  EXPECT_TRUE(engine.listFolders().empty()) << "only the default store is listed";
  EXPECT_FALSE(pathExists(home.defaultStoreRoot()));
}

TEST(Listing, NearestExistingAncestor) {
  ScratchDir scratch(Volume::btrfs);
  EXPECT_EQ(Redomark::nearestExistingAncestor(scratch.path()), scratch.path());
  EXPECT_EQ(Redomark::nearestExistingAncestor(scratch / "no/such/thing"), scratch.path());
  EXPECT_EQ(Redomark::nearestExistingAncestor("/no-such-top-level/x"), "/");
}

TEST(Retention, SavesPruneByTheSettingsOrTheirDefaults) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  testing::writeFile(scratch / "f", "x");
  std::vector<std::string> saved, removed;
  for (int i = 0; i < 7; ++i) {
    const SaveResult r = engine.saveAndPrune(scratch.path(), std::nullopt, nullptr);
    saved.push_back(r.saved.id);
    for (const std::string& id : ids(r.removed)) removed.push_back(id);
  }
  EXPECT_EQ(removed, (std::vector<std::string>{saved[0], saved[1]}));
  EXPECT_EQ(ids(engine.listCheckpoints(scratch.path())), std::vector<std::string>(saved.begin() + 2, saved.end()));

  engine.saveSettings(RetentionPolicy{3, std::nullopt, std::nullopt});
  const SaveResult r = engine.saveAndPrune(scratch.path(), std::nullopt, nullptr);
  EXPECT_EQ(ids(r.removed), (std::vector<std::string>{saved[2], saved[3], saved[4]}));
  EXPECT_EQ(ids(engine.listCheckpoints(scratch.path())), (std::vector<std::string>{saved[5], saved[6], r.saved.id}));
}

}  // namespace
}  // namespace redomark
