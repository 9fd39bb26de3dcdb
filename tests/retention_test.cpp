// Retention: the per-folder keep rules and the settings file.
#include <gtest/gtest.h>

#include "core/fs/file_ops.h"
#include "core/store/retention.h"
#include "tests/store_fixture.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

using Kind = Checkpoint::Kind;
const std::string folder = "/data/Site";
constexpr double day = 86400;
const RetentionPolicy noBudget{.keepPerFolder = 5, .maxTotalBytes = std::nullopt, .maxAgeDays = std::nullopt};

// Publishes checkpoints "c1", "c2", ... one day apart, of the given kinds ('m' or 'b').
std::vector<Checkpoint> publishSeries(const CheckpointStore& store, const std::string& kinds,
                                      const std::string& path = folder) {
  std::vector<Checkpoint> out;
  for (size_t i = 0; i < kinds.size(); ++i)
    out.push_back(publish(store, record(path, "c" + std::to_string(i + 1), (i + 1) * day,
                                        kinds[i] == 'b' ? Kind::beforeRestore : Kind::manual)));
  return out;
}

using Ids = std::vector<std::string>;

TEST(Retention, KeepsTheNewestManualsTwoBeforeRestoresAndTheProtectedOnes) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  publishSeries(store, "mmmmmmm");
  publishSeries(store, "mmm", "/data/Other");
  EXPECT_EQ(ids(prune(store, defaultRetentionPolicy, folder, 100 * day)), (Ids{"c1", "c2"}));
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c3", "c4", "c5", "c6", "c7"}));
  EXPECT_EQ(store.checkpoints("/data/Other").size(), 3u) << "other folders are left alone";

  ScratchDir autos(Volume::btrfs);
  const CheckpointStore autoStore(autos / "store");
  publishSeries(autoStore, "bbb");
  EXPECT_EQ(ids(prune(autoStore, noBudget, folder, 100 * day)), (Ids{"c1"}));

  // keepPerFolder 0: the latest, the latest manual and the last two beforeRestore ones.
  ScratchDir zero(Volume::btrfs);
  const CheckpointStore zeroStore(zero / "store");
  publishSeries(zeroStore, "mbmbmbm");
  EXPECT_EQ(ids(prune(zeroStore, {.keepPerFolder = 0, .maxTotalBytes = std::nullopt, .maxAgeDays = std::nullopt}, folder, 100 * day)),
            (Ids{"c1", "c2", "c3", "c5"}));
  EXPECT_EQ(ids(zeroStore.checkpoints(folder)), (Ids{"c4", "c6", "c7"}));
}

TEST(Retention, AnAgeLimitSparesOnlyTheProtectedIds) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  // c1 m, c2 b, c3 m, c4 b, c5 m, c6 m: latest c6, latest manual c6, latest beforeRestore c4.
  publishSeries(store, "mbmbmm");
  const RetentionPolicy zeroDays{.keepPerFolder = 5, .maxTotalBytes = std::nullopt, .maxAgeDays = 0};
  EXPECT_EQ(ids(prune(store, zeroDays, folder, 100 * day)), (Ids{"c1", "c2", "c3", "c5"}));
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c4", "c6"}));

  // Two days back from day 5 is day 3: c3, created exactly then, stays
  // until the cutoff passes it.
  ScratchDir other(Volume::btrfs);
  const CheckpointStore ageStore(other / "store");
  publishSeries(ageStore, "bbmmmm");
  const RetentionPolicy twoDays{.keepPerFolder = 5, .maxTotalBytes = std::nullopt, .maxAgeDays = 2};
  EXPECT_EQ(ids(prune(ageStore, twoDays, folder, 5 * day)), (Ids{"c1"}));
  EXPECT_EQ(ids(prune(ageStore, twoDays, folder, 5.5 * day)), (Ids{"c3"}));
  EXPECT_EQ(ids(ageStore.checkpoints(folder)), (Ids{"c2", "c4", "c5", "c6"}))
      << "the latest beforeRestore outlives any limit";
}

TEST(Retention, ACheckpointThatCannotBeDeletedIsSkippedQuietly) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  publishSeries(store, "mmmmmmm");
  // An occupied deleting name makes the withdrawing rename fail.
  createDirectories(store.folderDirectory(folder) + "/.deleting-c1/occupied");
  EXPECT_EQ(ids(prune(store, defaultRetentionPolicy, folder, 100 * day)), (Ids{"c2"}));
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "c3", "c4", "c5", "c6", "c7"}));
}

TEST(RetentionSettings, DefaultsForEveryFileThatIsMissingOrInvalidAndSavedOnesReadBack) {
  ScratchDir scratch(Volume::btrfs);
  const std::string root = scratch / "Redomark/Checkpoints";
  const std::string file = scratch / "Redomark/settings.json";
  EXPECT_EQ(loadSettings(root), defaultRetentionPolicy);
  const RetentionPolicy policy{.keepPerFolder = 2, .maxTotalBytes = 1000, .maxAgeDays = std::nullopt};
  saveSettings(policy, root);
  EXPECT_EQ(readWholeFile(file), "{\"keepPerFolder\":2,\"maxTotalBytes\":1000}");
  EXPECT_EQ(loadSettings(root), policy);
  EXPECT_FALSE(pathExists(root)) << "only the settings' directory is made";

  for (const char* invalid : {"", "{", "[]", "{\"maxAgeDays\":3}", "{\"keepPerFolder\":-1}", "{\"keepPerFolder\":\"3\"}"}) {
    writeWholeFile(file, invalid);
    EXPECT_EQ(loadSettings(root), defaultRetentionPolicy) << invalid;
  }
  writeWholeFile(file, "{\"keepPerFolder\":3}");
  EXPECT_EQ(loadSettings(root), (RetentionPolicy{3, std::nullopt, std::nullopt})) << "no limit, not the default one";
  writeWholeFile(file, "{\"keepPerFolder\":0,\"maxTotalBytes\":null,\"maxAgeDays\":7,\"other\":true}");
  EXPECT_EQ(loadSettings(root), (RetentionPolicy{0, std::nullopt, 7}));
}

}  // namespace
}  // namespace redomark::testing
