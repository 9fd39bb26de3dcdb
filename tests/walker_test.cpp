// The tree walker on real volumes: order, facts of every kind of item, the
// texts of unreadable items and cancellation.
#include <dirent.h>

#include "core/fs/walker.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

constexpr uid_t nobody = 65534;

// The walk's outcome as one text: the delivered paths (or their count, when
// the visitor cancels at the cancelAt-th), then "ok" or the error's message.
std::string outcome(const std::string& root, WalkPace pace = WalkPace::oneThread, OperationControl* control = nullptr,
                    int cancelAt = -1) {
  std::string out;
  int count = 0;
  try {
    walk(root, control, [&](const WalkEntry& e) {
      if (control) {
        if (++count == cancelAt) control->cancel();
      } else {
        out += e.path + "\n";
      }
    }, pace);
    out += "ok";
  } catch (const std::exception& e) {  // RedomarkError, or FsError for an unreadable item
    out += e.what();
  }
  return control ? std::to_string(count) + " " + out : out;
}

// The pre-order the walk must keep: each directory's items in the order the
// system lists them, each subdirectory's items right after it.
void listedPreOrder(const std::string& root, const std::string& prefix, std::string& out) {
  DIR* dir = opendir((root + "/" + prefix).c_str());
  ASSERT_NE(dir, nullptr);
  std::vector<std::pair<std::string, bool>> items;
  while (const dirent* d = readdir(dir))
    if (d->d_name[0] != '.') items.emplace_back(d->d_name, d->d_type == DT_DIR);
  closedir(dir);
  for (const auto& [name, isDir] : items) {
    out += prefix + name + "\n";
    if (isDir) listedPreOrder(root, prefix + name + "/", out);
  }
}

TEST(Walk, EveryItemWithItsOwnFactsAndUnreadableItemsWithTheirFullPath) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string root = scratch / "root";
  writeFiles(root, {{"docs/a.txt", "hello"}, {"docs/sub/deep.bin", std::string(1000, 'x')}, {"bad\xFF", "abc"}});
  createDirectories(root + "/dir\xFE");
  ASSERT_EQ(symlink("docs", (root + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
  setMtimeNs(root + "/docs/a.txt", 1'700'000'000'123'456'789);
  setMtimeNs(root + "/docs", -86'400'000'000'001);
  setMtimeNs(root + "/link", 1'600'000'000'000'000'007);
  // Names keep their exact bytes, valid UTF-8 or not; kind, size, mtime (0 for "not checked").
  const std::map<std::string, std::tuple<EntryKind, int64_t, int64_t>> expected = {
      {"docs", {EntryKind::directory, 0, -86'400'000'000'001}},
      {"docs/a.txt", {EntryKind::file, 5, 1'700'000'000'123'456'789}},
      {"docs/sub", {EntryKind::directory, 0, 0}},
      {"docs/sub/deep.bin", {EntryKind::file, 1000, 0}},
      {"dir\xFE", {EntryKind::directory, 0, 0}},
      {"bad\xFF", {EntryKind::file, 3, 0}},
      {"link", {EntryKind::symlink, 0, 1'600'000'000'000'000'007}},
      {"fifo", {EntryKind::other, 0, 0}}};
  // Each item once, all on the root's volume.
  const auto volume = static_cast<uint64_t>(statusOf(root).st_dev);
  std::map<std::string, std::tuple<EntryKind, int64_t, int64_t>> delivered;
  walk(root, nullptr, [&](const WalkEntry& e) {
    const bool checked = !expected.contains(e.path) || std::get<2>(expected.at(e.path)) != 0;
    EXPECT_TRUE(delivered.emplace(e.path, std::make_tuple(e.kind, e.size, checked ? e.mtimeNs : 0)).second) << e.path;
    EXPECT_EQ(e.dev, volume) << e.path;
  });
  EXPECT_EQ(delivered, expected);
  // Roots with nothing to deliver.
  for (const char* empty : {"dir\xFE", "missing", "docs/a.txt", "link"}) EXPECT_EQ(outcome(root + "/" + empty), "ok") << empty;
  EXPECT_EQ(outcome(""), "Couldn't read : Invalid argument") << "a root must be an absolute path";

  // Unreadable, or readable but not searchable (names can be listed, their status cannot).
  const std::string one = scratch / "one", two = scratch / "two";
  createDirectories(one + "/locked");
  createDirectories(two + "/listable/inner");
  ASSERT_EQ(chmod((one + "/locked").c_str(), 0), 0);
  ASSERT_EQ(chmod((two + "/listable").c_str(), 0444), 0);
  EXPECT_EQ(asUser(nobody, [&] { return outcome(one); }), "locked\nCouldn't read " + one + "/locked: Permission denied");
  EXPECT_EQ(asUser(nobody, [&] { return outcome(two); }),
            "listable\nCouldn't read " + two + "/listable/inner: Permission denied");
  ASSERT_EQ(chmod(one.c_str(), 0), 0);
  EXPECT_EQ(asUser(nobody, [&] { return outcome(one); }), "Couldn't read " + one + ": Permission denied")
      << "an unreadable root is no empty folder";
}

// Many directories of a few items each, nested as source trees are: with their
// listings made on helper threads ahead of the walk, it must deliver exactly
// what a walk of one thread does, in its order, see a cancel at every 512th
// entry, stop at an unreadable item as it does, and leave no descriptor open.
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
  const int descriptors = openDescriptors();
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    SCOPED_TRACE(pace == WalkPace::openAhead ? "opening ahead" : "one thread");
    for (int round = 0; round < 5; ++round) ASSERT_EQ(outcome(root, pace), expected + "ok") << "round " << round;
    int64_t size = -1;
    walk(root, nullptr, [&](const WalkEntry& e) { if (e.path == "d5/s2/s3/m26/f11") size = e.size; }, pace);
    EXPECT_EQ(size, 11);

    OperationControl cancelled, control;
    cancelled.cancel();
    EXPECT_EQ(outcome(root, pace, &cancelled), "511 Cancelled.");
    EXPECT_EQ(outcome(scratch / "few", pace, &cancelled), "511 ok");
    EXPECT_EQ(outcome(root, pace, &control, 600), "1023 Cancelled.") << "a cancel midway is seen at the next check";
    EXPECT_EQ(openDescriptors(), descriptors);

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

}  // namespace
}  // namespace redomark::testing
