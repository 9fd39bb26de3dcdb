// The tree walker on real volumes: order, facts of every kind of item, the
// texts of unreadable items, cancellation and descriptor use on deep trees.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "core/fs/walker.h"
#include "core/records/redomark_error.h"
#include "tests/engine_test_support.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

constexpr uid_t nobody = 65534;

// The walk's outcome as one text: the delivered paths (or their count),
// then "ok" or the error's message.
std::string outcome(const std::string& root, WalkPace pace = WalkPace::oneThread,
                    const OperationControl* control = nullptr, bool countOnly = false) {
  std::string out;
  int count = 0;
  try {
    walk(root, control, [&](const WalkEntry& e) { countOnly ? void(++count) : void(out += e.path + "\n"); }, pace);
    out += "ok";
  } catch (const std::exception& e) {  // RedomarkError, or FsError for an unreadable item
    out += e.what();
  }
  return countOnly ? std::to_string(count) + " " + out : out;
}

// The pre-order the walk must keep: each directory's items in the order the
// system lists them, each subdirectory's items right after it.
void listedPreOrder(const std::string& root, const std::string& prefix, std::string& out) {
  DIR* dir = opendir((root + "/" + prefix).c_str());
  ASSERT_NE(dir, nullptr);
  std::vector<std::pair<std::string, bool>> items;
  while (const dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") items.emplace_back(name, d->d_type == DT_DIR);
  }
  closedir(dir);
  for (const auto& [name, isDir] : items) {
    out += prefix + name + "\n";
    if (isDir) listedPreOrder(root, prefix + name + "/", out);
  }
}

// How many entries a walk delivers when the visitor cancels at the
// cancelAt-th; -1 when the walk was not cancelled.
int delivered(const std::string& root, WalkPace pace, OperationControl* control, int cancelAt) {
  int seen = 0;
  try {
    walk(root, control, [&](const WalkEntry&) {
      if (++seen == cancelAt) control->cancel();
    }, pace);
  } catch (const RedomarkError&) {
    return seen;
  }
  return -1;
}

TEST(Walk, EveryItemWithItsOwnFacts) {
  ScratchDir scratch(Volume::btrfs);
  createDirectories(scratch / "docs/sub");
  createDirectories(scratch / "empty");
  createDirectories(scratch / "dir\xFE");
  writeFile(scratch / "docs/a.txt", "hello");
  writeFile(scratch / "docs/sub/deep.bin", std::string(1000, 'x'));
  writeFile(scratch / "bad\xFF", "abc");
  writeFile(scratch / "dir\xFE/inner", "");
  ASSERT_EQ(symlink("docs", (scratch / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0644), 0);
  setMtimeNs(scratch / "docs/a.txt", 1'700'000'000'123'456'789);
  setMtimeNs(scratch / "docs", -86'400'000'000'001);
  setMtimeNs(scratch / "link", 1'600'000'000'000'000'007);

  // Names keep their exact bytes, valid UTF-8 or not; kind, size, mtime (0 for "not checked").
  const std::map<std::string, std::tuple<EntryKind, int64_t, int64_t>> expected = {
      {"docs", {EntryKind::directory, 0, -86'400'000'000'001}},
      {"docs/a.txt", {EntryKind::file, 5, 1'700'000'000'123'456'789}},
      {"docs/sub", {EntryKind::directory, 0, 0}},
      {"docs/sub/deep.bin", {EntryKind::file, 1000, 0}},
      {"empty", {EntryKind::directory, 0, 0}},
      {"dir\xFE", {EntryKind::directory, 0, 0}},
      {"dir\xFE/inner", {EntryKind::file, 0, 0}},
      {"bad\xFF", {EntryKind::file, 3, 0}},
      {"link", {EntryKind::symlink, 0, 1'600'000'000'000'000'007}},
      {"fifo", {EntryKind::other, 0, 0}}};
  // Each once and in pre-order is the test of trees of small directories.
  struct stat volume {};
  ASSERT_EQ(stat(scratch.path().c_str(), &volume), 0);
  std::map<std::string, int> seen;
  walk(scratch.path(), nullptr, [&](const WalkEntry& e) {
    ++seen[e.path];
    ASSERT_TRUE(expected.contains(e.path)) << e.path;
    const auto& [kind, size, mtime] = expected.at(e.path);
    EXPECT_EQ(e.kind, kind) << e.path;
    EXPECT_EQ(e.size, size) << e.path;
    if (mtime) {
      EXPECT_EQ(e.mtimeNs, mtime) << e.path;
    }
    EXPECT_EQ(e.dev, static_cast<uint64_t>(volume.st_dev)) << e.path;
  });
  EXPECT_EQ(seen.size(), expected.size());

  // Roots with nothing to deliver.
  for (const char* root : {"empty", "missing", "docs/a.txt", "link"}) EXPECT_EQ(outcome(scratch / root), "ok") << root;
  EXPECT_EQ(outcome(""), "Couldn't read : Invalid argument") << "a root must be an absolute path";
}

TEST(Walk, UnreadableItemsStopTheWalkWithTheirFullPath) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string one = scratch / "one", two = scratch / "two";
  createDirectories(one + "/locked");
  writeFile(one + "/locked/secret", "s");
  createDirectories(two + "/listable/inner");
  ASSERT_EQ(chmod((one + "/locked").c_str(), 0), 0);
  // Readable but not searchable: names can be listed, their status cannot.
  ASSERT_EQ(chmod((two + "/listable").c_str(), 0444), 0);

  EXPECT_EQ(asUser(nobody, [&] { return outcome(one); }),
            "locked\nCouldn't read " + one + "/locked: Permission denied");
  EXPECT_EQ(asUser(nobody, [&] { return outcome(two); }),
            "listable\nCouldn't read " + two + "/listable/inner: Permission denied");
  // An unreadable root is no empty folder.
  ASSERT_EQ(chmod(one.c_str(), 0), 0);
  EXPECT_EQ(asUser(nobody, [&] { return outcome(one); }), "Couldn't read " + one + ": Permission denied");
  // With every right the same trees walk whole.
  EXPECT_EQ(outcome(one), "locked\nlocked/secret\nok");
  EXPECT_EQ(outcome(two), "listable\nlistable/inner\nok");
}

// Many directories of a few items each, nested as source trees are: with their
// listings made on helper threads ahead of the walk, it must deliver exactly
// what a walk of one thread does, in its order, see a cancel at every 512th
// entry, and stop at an unreadable item as it does.
TEST(Walk, TreesOfSmallDirectoriesKeepTheirOrderCancellationAndErrors) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string root = scratch / "tree";
  for (int i = 0; i < 60; ++i) {
    std::string dir = "d" + std::to_string(i % 7);
    for (int depth = 0; depth < i % 4; ++depth) dir += "/s" + std::to_string(i % 3 + depth);
    dir += "/m" + std::to_string(i);
    createDirectories(root + "/" + dir);
    for (int f = 0; f < 20; ++f) writeFile(root + "/" + dir + "/f" + std::to_string(f), std::string(f, 'x'));
  }
  createDirectories(scratch / "few");
  for (int i = 0; i < 511; ++i) writeFile(scratch / ("few/f" + std::to_string(i)), "");
  std::string expected;
  listedPreOrder(root, "", expected);
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    SCOPED_TRACE(pace == WalkPace::openAhead ? "opening ahead" : "one thread");
    for (int round = 0; round < 5; ++round) ASSERT_EQ(outcome(root, pace), expected + "ok") << "round " << round;
    std::map<std::string, int64_t> sizes;
    walk(root, nullptr, [&](const WalkEntry& e) { if (e.kind == EntryKind::file) sizes[e.path] = e.size; }, pace);
    EXPECT_EQ(sizes.size(), 1200u);
    EXPECT_EQ(sizes["d5/s2/s3/m26/f11"], 11);

    OperationControl cancelled, control;
    cancelled.cancel();
    EXPECT_EQ(outcome(root, pace, &cancelled, true), "511 Cancelled.");
    EXPECT_EQ(outcome(scratch / "few", pace, &cancelled, true), "511 ok");
    EXPECT_EQ(delivered(root, pace, &control, 600), 1023) << "a cancel midway is seen at the next check";

    // A directory no one may search, the last one met, well after the walk has
    // begun to open directories ahead: the walk stops at it, in its turn, with
    // its full path, whichever thread listed it.
    const size_t end = expected.rfind("/f0\n");
    const size_t start = expected.rfind('\n', end) + 1;
    const std::string locked = expected.substr(start, end - start);
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0700), 0);
    const std::string before = expected.substr(0, expected.find("\n" + locked + "\n") + locked.size() + 2);
    for (int round = 0; round < 3; ++round)
      EXPECT_EQ(asUser(nobody, [&] { return outcome(root, pace); }),
                before + "Couldn't read " + root + "/" + locked + ": Permission denied");
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0755), 0);
  }
}

TEST(Walk, DeepTreesNeedFewDescriptorsAndLeaveNoneOpen) {
  ScratchDir scratch(Volume::xfs);
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += i ? "/d" : "d";
  createDirectories(scratch / deep);
  writeFile(scratch / (deep + "/bottom"), "b");

  const int before = openDescriptors();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    int seen = 0;
    EXPECT_THROW(walk(scratch.path(), nullptr, [&](const WalkEntry&) {
      if (++seen == 280) throw std::domain_error("visitor gave up");
    }, pace), std::domain_error);
    EXPECT_EQ(seen, 280);
    EXPECT_EQ(openDescriptors(), before);

    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(before) + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string last;
    const std::string result = outcome(scratch.path(), pace, nullptr, true);
    walk(scratch.path(), nullptr, [&](const WalkEntry& e) { last = e.path; }, pace);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(result, "301 ok");
    EXPECT_EQ(last, deep + "/bottom");
    EXPECT_EQ(openDescriptors(), before);
  }
}

}  // namespace
}  // namespace redomark::testing
