// Retention: the keep rules as a pure choice, the byte budget measured on
// real shared extents, and the settings file.
#include "core/store/retention.h"
#include "core/store/settings_file.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

using Kind = Checkpoint::Kind;
using Ids = std::vector<std::string>;
const std::string folder = "/data/Site";
constexpr double day = 86400;

// "c1", "c2", ... one day apart, of the kinds given ('m' manual, 'b' before a restore).
std::vector<Checkpoint> series(const std::string& kinds, const std::string& path = folder) {
  std::vector<Checkpoint> out;
  for (size_t i = 0; i < kinds.size(); ++i)
    out.push_back(
        record(path, "c" + std::to_string(i + 1), (i + 1) * day, kinds[i] == 'b' ? Kind::beforeRestore : Kind::manual));
  return out;
}

TEST(Retention, KeepsTheNewestAndTheProtectedCheckpointsOfTheFolderOnly) {
  // The latest, the latest manual and the two latest beforeRestore ones outlive every limit.
  struct Case {
    const char* kinds;
    int64_t keep;
    std::optional<int64_t> days;
    double now;
    Ids removed;
  };
  const Case cases[] = {
      {"bbb", 5, {}, 100 * day, {"c1"}},
      {"mbmbmbm", 0, {}, 100 * day, {"c1", "c2", "c3", "c5"}},
      // Two days back from day 5.5 is past c3.
      {"bbmmmm", 5, 2, 5.5 * day, {"c1", "c3"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ids(chosenToPrune(series(c.kinds), RetentionPolicy{c.keep, std::nullopt, c.days}, c.now)), c.removed)
        << c.kinds << " at day " << c.now / day;

  // In a store: other folders are left alone, and one that cannot be deleted
  // (an occupied deleting name makes the withdrawing rename fail) is skipped quietly.
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  for (const Checkpoint& c : series("mmmmmmm")) publish(store, c);
  for (const Checkpoint& c : series("mmmmmmm", "/data/Other")) publish(store, c);
  createDirectories(store.folderDirectory(folder) + "/.deleting-c1/occupied");
  EXPECT_EQ(ids(prune(store, defaultRetentionPolicy, folder, 100 * day)), (Ids{"c2"}));
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "c3", "c4", "c5", "c6", "c7"}));
  EXPECT_EQ(store.checkpoints("/data/Other").size(), 7u);
}

// What each checkpoint holds alone is measured on the volume (here its own
// mebibyte, or nothing beyond its records for the latest of each folder).
TEST(RetentionBudget, AStoreOverBudgetLosesItsOldestPrivateCheckpointsButNoProtectedOne) {
  constexpr int64_t mebibyte = 1 << 20;
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  // a1 b1 a2 b2 ... one second apart; a2 and b3 taken before a restore.
  for (int i = 0; i < 8; ++i) {
    const Checkpoint c = publish(store, record(scratch / (i % 2 ? "B" : "A"), "ab"[i % 2] + std::to_string(i / 2 + 1),
                                               i + 1, i == 2 || i == 5 ? Kind::beforeRestore : Kind::manual, mebibyte));
    if (i < 6) writeFile(store.dataDirectory(c) + "/big", uniqueBytes(mebibyte, i));
  }
  sync();
  // 6 MiB held alone against a budget of 3 MiB and the five survivors'
  // records; the latest, latest manual and latest beforeRestore of each
  // folder (a2, a4, b3, b4) are protected.
  const RetentionPolicy budget{5, 3 * mebibyte + 5 * fewItemsRecords, std::nullopt};
  EXPECT_EQ(ids(prune(store, budget, scratch / "A", 10)), (Ids{"a1", "b1", "b2"}));
  EXPECT_EQ(ids(store.allCheckpoints()), (Ids{"a2", "a3", "b3", "a4", "b4"}));
}

// Writing, permissions, a folder in the file's place and reading back what was
// written are the settings command's tests; here the ways a file can be
// unusable.
TEST(RetentionSettings, DefaultsForEveryFileThatIsUnusableSayingWhy) {
  ScratchDir scratch(Volume::btrfs);
  const std::string root = scratch / "Redomark/Checkpoints", file = scratch / "Redomark/settings.json";
  const auto loaded = [&] {
    const LoadedSettings l = loadSettings(root);
    return std::make_tuple(l.path, l.state, l.problem, l.policy);
  };
  using State = LoadedSettings::State;
  const auto text = [&](const char* bytes) { return [&file, bytes] { writeFile(file, bytes); }; };
  // Nothing there may make reading it wait, or read without end.
  const std::pair<std::function<void()>, std::string> unusable[] = {
      // Read as 0, it would prune every checkpoint a folder has.
      {text(R"({"keepPerFolder":null})"), "\"keepPerFolder\" must be a whole number"},
      {[&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, "it isn't a regular file of yours"},
      {[&] { ASSERT_EQ(symlink("/dev/zero", file.c_str()), 0); }, "it isn't a regular file of yours"},
      {[&] { writeFile(file, std::string(65 * 1024, ' ')); }, "it is larger than 64 KB"},
  };
  createDirectories(scratch / "Redomark");
  for (const auto& [plant, why] : unusable) {
    plant();
    EXPECT_EQ(loaded(), std::make_tuple(file, State::unusable, why, defaultRetentionPolicy));
    removeTree(file);
  }
}

}  // namespace
}  // namespace redomark::testing
