// The tree walker on real volumes: order, facts of every kind of item, the
// texts of unreadable items, cancellation and descriptor use on deep trees.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <functional>
#include <map>
#include <stdexcept>
#include <vector>

#include "core/fs/file_ops.h"
#include "core/fs/walker.h"
#include "core/records/redomark_error.h"
#include "tests/engine_test_support.h"
#include "tests/path_helpers.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

std::vector<WalkEntry> walkAll(const std::string& root, WalkPace pace = WalkPace::oneThread) {
  std::vector<WalkEntry> out;
  walk(root, nullptr, [&](const WalkEntry& e) { out.push_back(e); }, pace);
  return out;
}

// The walk's outcome as one text: the delivered paths (or their count),
// then "ok" or the error's message.
std::string outcome(const std::string& root, const OperationControl* control = nullptr, bool countOnly = false,
                    WalkPace pace = WalkPace::oneThread) {
  std::string out;
  int count = 0;
  try {
    walk(root, control, [&](const WalkEntry& e) { countOnly ? void(++count) : void(out += e.path + "\n"); }, pace);
    out += "ok";
  } catch (const RedomarkError& e) {
    out += e.what();
  }
  return countOnly ? std::to_string(count) + " " + out : out;
}

// Runs body in a child process as the user "nobody", where permission bits
// hold, and returns what it wrote.
std::string asNobody(const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) throw std::runtime_error("pipe");
  const pid_t child = fork();
  if (child == 0) {
    std::string result = "could not drop privileges";
    if (setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) result = body();
    _exit(write(channel[1], result.data(), result.size()) < 0);
  }
  close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return result;
}

TEST(Walk, EveryItemOnceInPreOrderWithItsOwnFacts) {
  ScratchDir scratch(Volume::btrfs);
  createDirectories(scratch / "docs/sub");
  createDirectories(scratch / "empty");
  createDirectories(scratch / "dir\xFE");
  writeWholeFile(scratch / "docs/a.txt", "hello");
  writeWholeFile(scratch / "docs/sub/deep.bin", std::string(1000, 'x'));
  writeWholeFile(scratch / "bad\xFF", "abc");
  writeWholeFile(scratch / "dir\xFE/inner", "");
  ASSERT_EQ(symlink("docs", (scratch / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0644), 0);
  setMtimeNs(scratch / "docs/a.txt", 1'700'000'000'123'456'789);
  setMtimeNs(scratch / "docs", -86'400'000'000'001);
  setMtimeNs(scratch / "link", 1'600'000'000'000'000'007);

  struct Expected {
    EntryKind kind;
    int64_t size;
  };
  // Names keep their exact bytes, valid UTF-8 or not.
  const std::string fixed = "\xFE", broken = "\xFF";  // "fixed" names the directory
  const std::map<std::string, Expected> expected = {
      {"docs", {EntryKind::directory, 0}},     {"docs/a.txt", {EntryKind::file, 5}},
      {"docs/sub", {EntryKind::directory, 0}}, {"docs/sub/deep.bin", {EntryKind::file, 1000}},
      {"empty", {EntryKind::directory, 0}},    {"dir" + fixed, {EntryKind::directory, 0}},
      {"dir" + fixed + "/inner", {EntryKind::file, 0}}, {"bad" + broken, {EntryKind::file, 3}},
      {"link", {EntryKind::symlink, 0}},       {"fifo", {EntryKind::other, 0}}};
  const std::vector<WalkEntry> entries = walkAll(scratch.path());
  std::map<std::string, WalkEntry> byPath;
  for (const WalkEntry& e : entries) EXPECT_TRUE(byPath.emplace(e.path, e).second) << "twice: " << e.path;
  ASSERT_EQ(entries.size(), expected.size());

  struct stat volume {};
  ASSERT_EQ(stat(scratch.path().c_str(), &volume), 0);
  for (const auto& [path, facts] : expected) {
    ASSERT_TRUE(byPath.count(path)) << path;
    const WalkEntry& e = byPath[path];
    EXPECT_EQ(e.kind, facts.kind) << path;
    EXPECT_EQ(e.size, facts.size) << path;
    EXPECT_EQ(e.dev, static_cast<int32_t>(volume.st_dev)) << path;
  }
  EXPECT_EQ(byPath["docs/a.txt"].mtimeNs, 1'700'000'000'123'456'789);
  EXPECT_EQ(byPath["docs"].mtimeNs, -86'400'000'000'001);
  EXPECT_EQ(byPath["link"].mtimeNs, 1'600'000'000'000'000'007);

  // Depth first: a directory is followed at once by everything below it,
  // and each directory's items come in the order the file system lists them.
  std::vector<std::string> expectedOrder;
  std::function<void(const std::string&, const std::string&)> listInOrder = [&](const std::string& dir,
                                                                                 const std::string& rel) {
    const std::vector<std::string> names = listNames(dir).value();
    for (const std::string& name : names) {
      const std::string path = rel + name;
      expectedOrder.push_back(path);
      if (expected.at(path).kind == EntryKind::directory) listInOrder(dir + "/" + name, rel + name + "/");
    }
  };
  listInOrder(scratch.path(), "");
  std::vector<std::string> order;
  for (const WalkEntry& e : entries) order.push_back(e.path);
  EXPECT_EQ(order, expectedOrder);
}

TEST(Walk, RootsWithNothingToDeliver) {
  ScratchDir scratch(Volume::xfs);
  createDirectories(scratch / "empty");
  writeWholeFile(scratch / "file", "x");
  ASSERT_EQ(symlink("empty", (scratch / "link").c_str()), 0);
  for (const char* root : {"empty", "missing", "file", "link"}) EXPECT_EQ(outcome(scratch / root), "ok") << root;
  EXPECT_EQ(outcome(""), "Couldn't read : Invalid argument") << "a root must be an absolute path";
}

TEST(Walk, UnreadableItemsStopTheWalkWithTheirFullPath) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string one = scratch / "one", two = scratch / "two";
  createDirectories(one + "/locked");
  writeWholeFile(one + "/locked/secret", "s");
  createDirectories(two + "/listable/inner");
  ASSERT_EQ(chmod((one + "/locked").c_str(), 0), 0);
  // Readable but not searchable: names can be listed, their status cannot.
  ASSERT_EQ(chmod((two + "/listable").c_str(), 0444), 0);

  EXPECT_EQ(asNobody([&] { return outcome(one); }), "locked\nCouldn't read " + one + "/locked: Permission denied");
  EXPECT_EQ(asNobody([&] { return outcome(two); }),
            "listable\nCouldn't read " + two + "/listable/inner: Permission denied");
  // An unreadable root is no empty folder.
  ASSERT_EQ(chmod(one.c_str(), 0), 0);
  EXPECT_EQ(asNobody([&] { return outcome(one); }), "Couldn't read " + one + ": Permission denied");
  // With every right the same trees walk whole.
  EXPECT_EQ(outcome(one), "locked\nlocked/secret\nok");
  EXPECT_EQ(outcome(two), "listable\nlistable/inner\nok");
}

TEST(Walk, CancellationIsSeenAtEvery512thEntry) {
  ScratchDir scratch(Volume::btrfs);
  createDirectories(scratch / "many");
  for (int i = 0; i < 600; ++i) writeWholeFile(scratch / ("many/f" + std::to_string(i)), "");
  createDirectories(scratch / "few");
  for (int i = 0; i < 511; ++i) writeWholeFile(scratch / ("few/f" + std::to_string(i)), "");

  OperationControl cancelled;
  cancelled.cancel();
  EXPECT_EQ(outcome(scratch / "many", &cancelled, true), "511 Cancelled.");
  EXPECT_EQ(outcome(scratch / "few", &cancelled, true), "511 ok");
  EXPECT_EQ(outcome(scratch / "many", nullptr, true), "600 ok");

  // Cancelled midway by the visitor: the walk ends at the next check.
  OperationControl control;
  int delivered = 0;
  EXPECT_THROW(walk(scratch.path(), &control,
                    [&](const WalkEntry&) {
                      if (++delivered == 700) control.cancel();
                    }),
               RedomarkError);
  EXPECT_EQ(delivered, 1023);
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

// Many directories of a few items each, nested as source trees are: with their
// listings made on helper threads ahead of the walk, it must deliver exactly
// what a walk of one thread does, in its order, and stop as it does.
TEST(Walk, TreesOfSmallDirectoriesKeepTheirOrderCancellationAndErrors) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string root = scratch / "tree";
  for (int i = 0; i < 60; ++i) {
    std::string dir = "d" + std::to_string(i % 7);
    for (int depth = 0; depth < i % 4; ++depth) dir += "/s" + std::to_string(i % 3 + depth);
    dir += "/m" + std::to_string(i);
    createDirectories(root + "/" + dir);
    for (int f = 0; f < 20; ++f) writeWholeFile(root + "/" + dir + "/f" + std::to_string(f), std::string(f, 'x'));
  }
  std::string expected;
  listedPreOrder(root, "", expected);
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    SCOPED_TRACE(pace == WalkPace::openAhead ? "opening ahead" : "one thread");
    for (int round = 0; round < 5; ++round)
      ASSERT_EQ(outcome(root, nullptr, false, pace), expected + "ok") << "round " << round;
    std::map<std::string, int64_t> sizes;
    for (const WalkEntry& e : walkAll(root, pace))
      if (e.kind == EntryKind::file) sizes[e.path] = e.size;
    EXPECT_EQ(sizes.size(), 1200u);
    EXPECT_EQ(sizes["d5/s2/s3/m26/f11"], 11);

    OperationControl control;
    int delivered = 0;
    EXPECT_THROW(walk(root, &control,
                      [&](const WalkEntry&) {
                        if (++delivered == 600) control.cancel();
                      },
                      pace),
                 RedomarkError);
    EXPECT_EQ(delivered, 1023);

    // A directory no one may search, the last one met, well after the walk has
    // begun to open directories ahead: the walk stops at it, in its turn, with
    // its full path, whichever thread listed it.
    std::vector<std::string> lines;
    for (size_t from = 0, end; (end = expected.find('\n', from)) != std::string::npos; from = end + 1)
      lines.push_back(expected.substr(from, end - from));
    const auto isFile = [](const std::string& line) { return line.find_last_of('/') == line.find("/f"); };
    size_t last = lines.size() - 1;
    while (isFile(lines[last])) --last;
    const std::string locked = lines[last];
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0700), 0);
    std::string before;
    for (size_t i = 0; i <= last; ++i) before += lines[i] + "\n";
    ASSERT_GT(std::count(before.begin(), before.end(), '\n'), 1000);
    for (int round = 0; round < 3; ++round)
      EXPECT_EQ(asNobody([&] { return outcome(root, nullptr, false, pace); }),
                before + "Couldn't read " + root + "/" + locked + ": Permission denied");
    ASSERT_EQ(chmod((root + "/" + locked).c_str(), 0755), 0);
  }
}

TEST(Walk, DeepTreesNeedFewDescriptorsAndLeaveNoneOpen) {
  ScratchDir scratch(Volume::xfs);
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += i ? "/d" : "d";
  createDirectories(scratch / deep);
  writeWholeFile(scratch / (deep + "/bottom"), "b");

  const int before = openDescriptors();
  for (const WalkPace pace : {WalkPace::oneThread, WalkPace::openAhead}) {
    int seen = 0;
    EXPECT_THROW(walk(scratch.path(), nullptr,
                      [&](const WalkEntry&) {
                        if (++seen == 280) throw std::domain_error("visitor gave up");
                      },
                      pace),
                 std::domain_error);
    EXPECT_EQ(seen, 280);
    EXPECT_EQ(openDescriptors(), before);
  }

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(before) + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const std::string result = outcome(scratch.path(), nullptr, true);
  const std::string ahead = outcome(scratch.path(), nullptr, true, WalkPace::openAhead);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(result, "301 ok");
  EXPECT_EQ(ahead, "301 ok");
  EXPECT_EQ(walkAll(scratch.path()).back().path, deep + "/bottom");
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace redomark::testing
