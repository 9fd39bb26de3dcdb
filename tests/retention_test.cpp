// Retention: the per-folder keep rules, the store-wide byte budget measured
// on real shared extents, and the settings file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include <iostream>
#include <random>
#include <sstream>
#include <system_error>
#include <utility>

#include "core/store/retention.h"
#include "core/store/settings_file.h"
#include "tests/engine_test_support.h"
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

TEST(Retention, KeepsTheNewestAndTheProtectedCheckpointsOfTheFolderOnly) {
  // Checkpoints "c1", "c2", ... one day apart, of the kinds given ('m' manual,
  // 'b' before a restore); the latest, the latest manual and the two latest
  // beforeRestore ones outlive every limit.
  struct Case {
    const char* kinds;
    RetentionPolicy policy;
    double now;
    Ids removed, left;
  };
  const auto age = [](int days) { return RetentionPolicy{5, std::nullopt, days}; };
  const Case cases[] = {
      {"bbb", noBudget, 100 * day, {"c1"}, {"c2", "c3"}},
      {"mmmmmmm", noBudget, 100 * day, {"c1", "c2"}, {"c3", "c4", "c5", "c6", "c7"}},
      {"mbmbmbm", {0, std::nullopt, std::nullopt}, 100 * day, {"c1", "c2", "c3", "c5"}, {"c4", "c6", "c7"}},
      {"mbmbmm", age(0), 100 * day, {"c1", "c2", "c3", "c5"}, {"c4", "c6"}},
      // Two days back from day 5 is day 3: c3, created exactly then, stays until the cutoff passes it.
      {"bbmmmm", age(2), 5 * day, {"c1"}, {"c2", "c3", "c4", "c5", "c6"}},
      {"bbmmmm", age(2), 5.5 * day, {"c1", "c3"}, {"c2", "c4", "c5", "c6"}},
  };
  ScratchDir scratch(Volume::btrfs);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kinds) + " at day " + std::to_string(c.now / day));
    const CheckpointStore store(scratch / ("store" + std::to_string(++n)));
    publishSeries(store, c.kinds);
    publishSeries(store, "mmmmmmm", "/data/Other");
    EXPECT_EQ(ids(prune(store, c.policy, folder, c.now)), c.removed);
    EXPECT_EQ(ids(store.checkpoints(folder)), c.left);
    EXPECT_EQ(store.checkpoints("/data/Other").size(), 7u) << "other folders are left alone";
  }

  // One that cannot be deleted (an occupied deleting name makes the
  // withdrawing rename fail) is skipped quietly.
  const CheckpointStore store(scratch / "stuck");
  publishSeries(store, "mmmmmmm");
  createDirectories(store.folderDirectory(folder) + "/.deleting-c1/occupied");
  EXPECT_EQ(ids(prune(store, defaultRetentionPolicy, folder, 100 * day)), (Ids{"c2"}));
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "c3", "c4", "c5", "c6", "c7"}));
}

// Replaces path with count fresh random bytes in new extents; clones of the
// old file keep the old extents to themselves.
void rewriteFile(const std::string& path, size_t count) {
  static std::mt19937_64 random(11);
  std::string bytes(count, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  const int fd = open((path + ".new").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), count), static_cast<ssize_t>(count));
  ASSERT_EQ(fsync(fd), 0);
  close(fd);
  ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

TEST(RetentionBudget, AStoreOverBudgetLosesItsOldestPrivateCheckpointsButNoProtectedOne) {
  constexpr int64_t mebibyte = 1 << 20, note = 64 * 1024;  // past what Btrfs keeps inline
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  for (const char* name : {"A", "B"}) {
    createDirectories(scratch / name);
    rewriteFile(scratch / name + "/note", note);
    rewriteFile(scratch / name + "/big", mebibyte);
  }
  // A real clone of the folder; with rewrite its big file is then replaced,
  // leaving the old data to the checkpoint alone.
  std::vector<Checkpoint> all;
  auto save = [&](const char* name, const std::string& id, Kind kind, bool rewrite) {
    const Checkpoint c = record(scratch / name, id, static_cast<double>(all.size() + 1), kind, mebibyte + note);
    createDirectories(store.checkpointDirectory(c), 0700);
    EXPECT_EQ(cloneTree(scratch / name, store.dataDirectory(c), std::nullopt, nullptr).cloned, 2);
    all.push_back(publish(store, c));
    if (rewrite) rewriteFile(scratch / name + "/big", mebibyte);
  };
  save("A", "a1", Kind::manual, true), save("B", "b1", Kind::manual, true);
  save("A", "a2", Kind::beforeRestore, true), save("B", "b2", Kind::manual, true);
  save("A", "a3", Kind::manual, true), save("B", "b3", Kind::beforeRestore, true);
  save("A", "a4", Kind::manual, false), save("B", "b4", Kind::manual, false);
  sync();

  std::ostringstream figures;
  figures << "recorded/unique bytes:";
  for (const Checkpoint& c : all) {
    const int64_t unique = store.uniqueBytes(c);
    figures << " " << c.id << " " << c.totalBytes << "/" << unique;
    EXPECT_TRUE(dataAndFewRecords(unique, c.id.ends_with('4') ? 0 : mebibyte)) << c.id << " " << unique;
  }
  // 6 MiB held alone against a budget of 3 MiB and the five survivors'
  // records; the latest, latest manual and latest beforeRestore of each
  // folder (a2, a4, b3, b4) are protected.
  const RetentionPolicy budget{
      .keepPerFolder = 5, .maxTotalBytes = 3 * mebibyte + 5 * fewItemsRecords, .maxAgeDays = std::nullopt};
  const std::vector<Checkpoint> removed = prune(store, budget, scratch / "A", 10);
  figures << "; budget " << *budget.maxTotalBytes << "; removed:";
  for (const Checkpoint& c : removed) figures << " " << c.id;
  RecordProperty("figures", figures.str());
  std::cout << figures.str() << "\n";
  EXPECT_EQ(ids(removed), (Ids{"a1", "b1", "b2"}));
  EXPECT_EQ(ids(store.allCheckpoints()), (Ids{"a2", "a3", "b3", "a4", "b4"}));
}

// Writing, permissions and a folder in the file's place are the settings
// command's tests; here every way a file can be unusable, and what is read.
TEST(RetentionSettings, DefaultsForEveryFileThatIsMissingOrInvalidSayingWhyAndSavedOnesReadBack) {
  ScratchDir scratch(Volume::btrfs);
  const std::string root = scratch / "Redomark/Checkpoints";
  const std::string file = scratch / "Redomark/settings.json";
  const LoadedSettings missing = loadSettings(root);
  EXPECT_EQ(missing.path, file);
  EXPECT_EQ(missing.state, LoadedSettings::State::missing);
  EXPECT_EQ(missing.policy, defaultRetentionPolicy);

  const std::pair<const char*, const char*> invalid[] = {
      {"", "it is empty"},
      {" \n", "it is empty"},
      {"{\"keepPerFolder\":5", "it isn't JSON"},
      {"[5]", "it isn't a JSON object"},
      {R"({"maxAgeDays":3})", "\"keepPerFolder\" is missing"},
      {R"({"keepPerFolder":-1})", "\"keepPerFolder\" must be 0 or more"},
      {R"({"keepPerFolder":null})", "\"keepPerFolder\" must be a whole number"},
      {R"({"keepPerFolder":"5"})", "\"keepPerFolder\" must be a whole number"},
      {R"({"keepPerFolder":2.5})", "\"keepPerFolder\" must be a whole number"},
      {R"({"keepPerFolder":5,"maxTotalBytes":"10 GB"})", "\"maxTotalBytes\" must be a whole number"},
      {R"({"keepPerFolder":5,"maxAgeDays":"7"})", "\"maxAgeDays\" must be a whole number"},
      {R"({"keepPerFolder":5,"maxAgeDays":-7})", "\"maxAgeDays\" must be 0 or more"},
      {R"({"keepPerFolder":5,"keepHourly":null})", "\"keepHourly\" must be a whole number"},
      {R"({"keepPerFolder":5,"keepMonthly":-1})", "\"keepMonthly\" must be 0 or more"},
  };
  createDirectories(scratch / "Redomark");
  for (const auto& [text, why] : invalid) {
    writeFile(file, text);
    const LoadedSettings loaded = loadSettings(root);
    EXPECT_EQ(loaded.state, LoadedSettings::State::unusable) << text;
    EXPECT_EQ(loaded.problem, why) << text;
    EXPECT_EQ(loaded.policy, defaultRetentionPolicy) << text;
  }
  // Nothing there may make reading it wait, or read without end.
  const std::vector<std::pair<std::function<void()>, std::string>> unusable = {
      {[&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, "it isn't a regular file of yours"},
      {[&] { ASSERT_EQ(symlink("/dev/zero", file.c_str()), 0); }, "it isn't a regular file of yours"},
      {[&] { writeFile(file, std::string(65 * 1024, ' ')); }, "it is larger than 64 KB"},
  };
  for (const auto& [plant, why] : unusable) {
    removeTree(file);
    plant();
    EXPECT_EQ(loadSettings(root).problem, why);
  }
  removeTree(file);
  // Missing or null limits are no limits, not the default ones; missing timeline
  // counts are the default ones; unknown keys are ignored.
  writeFile(file, R"({"maxAgeDays":null,"keepPerFolder":3,"theme":"dark","keepWeekly":9})");
  EXPECT_EQ(loadSettings(root).policy, (RetentionPolicy{3, std::nullopt, std::nullopt, 24, 7, 9, 12}));
  const RetentionPolicy full{.keepPerFolder = 0, .maxTotalBytes = 1, .maxAgeDays = 30, .keepHourly = 1,
                             .keepDaily = 2, .keepWeekly = 3, .keepMonthly = 0};
  saveSettings(full, root);
  EXPECT_EQ(readWholeFile(file),
            R"({"keepPerFolder":0,"maxTotalBytes":1,"maxAgeDays":30,"keepDaily":2,"keepHourly":1,"keepMonthly":0,"keepWeekly":3})");
  EXPECT_EQ(loadSettings(root).policy, full);
  EXPECT_EQ(loadSettings(root).state, LoadedSettings::State::used);
  EXPECT_FALSE(pathExists(root)) << "only the settings' directory is made";
}

}  // namespace
}  // namespace redomark::testing
