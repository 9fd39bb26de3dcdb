// The tree walker on real volumes: order, facts of every kind of item, the
// texts of unreadable items, cancellation and descriptor use on deep trees.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <vector>

#include "core/fs/file_ops.h"
#include "core/fs/walker.h"
#include "core/records/redomark_error.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

std::vector<WalkEntry> walkAll(const std::string& root, const OperationControl* control = nullptr) {
  std::vector<WalkEntry> out;
  walk(root, control, [&](const WalkEntry& e) { out.push_back(e); });
  return out;
}

std::vector<std::string> pathsOf(const std::vector<WalkEntry>& entries) {
  std::vector<std::string> out;
  for (const WalkEntry& e : entries) out.push_back(e.path);
  return out;
}

// The walk's outcome as one text: the delivered paths, then the error.
std::string outcome(const std::string& root, const OperationControl* control = nullptr) {
  std::string out;
  try {
    walk(root, control, [&](const WalkEntry& e) { out += e.path + "\n"; });
    out += "ok";
  } catch (const RedomarkError& e) {
    out += std::string(e.errorCase() == RedomarkError::Case::io ? "io: " : "other: ") + e.what();
  }
  return out;
}

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = readdir(dir)) count += e->d_name[0] != '.';
  closedir(dir);
  return count;
}

// Runs body in a child process as the unprivileged user "nobody", where
// permission bits are enforced, and returns what it wrote.
std::string asNobody(const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) throw std::runtime_error("pipe");
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string result = "could not drop privileges";
    if (setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) result = body();
    ssize_t ignored = write(channel[1], result.data(), result.size());
    (void)ignored;
    _exit(0);
  }
  close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return result;
}

void setTimes(const std::string& path, int64_t ns) {
  int64_t seconds = ns / 1'000'000'000, rest = ns % 1'000'000'000;
  if (rest < 0) --seconds, rest += 1'000'000'000;
  const timespec times[2] = {{seconds, rest}, {seconds, rest}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
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
  ASSERT_EQ(symlink("docs", (scratch / "link-to-docs").c_str()), 0);
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0644), 0);
  setTimes(scratch / "docs/a.txt", 1'700'000'000'123'456'789);
  setTimes(scratch / "docs", -86'400'000'000'001);
  setTimes(scratch / "link-to-docs", 1'600'000'000'000'000'007);

  const std::vector<WalkEntry> entries = walkAll(scratch.path());
  std::map<std::string, size_t> at;
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_TRUE(at.emplace(entries[i].path, i).second) << entries[i].path;
  const std::map<std::string, EntryKind> expectedKinds = {
      {"docs", EntryKind::directory},        {"docs/a.txt", EntryKind::file},
      {"docs/sub", EntryKind::directory},    {"docs/sub/deep.bin", EntryKind::file},
      {"empty", EntryKind::directory},       {"dir\xEF\xBF\xBD", EntryKind::directory},
      {"dir\xEF\xBF\xBD/inner", EntryKind::file}, {"bad\xEF\xBF\xBD", EntryKind::file},
      {"link-to-docs", EntryKind::symlink},  {"fifo", EntryKind::other}};
  ASSERT_EQ(entries.size(), expectedKinds.size()) << ::testing::PrintToString(pathsOf(entries));

  struct stat volume {};
  ASSERT_EQ(stat(scratch.path().c_str(), &volume), 0);
  for (const auto& [path, kind] : expectedKinds) {
    ASSERT_TRUE(at.count(path)) << path;
    const WalkEntry& e = entries[at[path]];
    EXPECT_EQ(e.kind, kind) << path;
    EXPECT_EQ(e.flags, 0u) << path;
    EXPECT_EQ(e.dev, static_cast<int32_t>(volume.st_dev)) << path;
  }
  EXPECT_EQ(entries[at["docs/a.txt"]].size, 5);
  EXPECT_EQ(entries[at["docs/sub/deep.bin"]].size, 1000);
  EXPECT_EQ(entries[at["bad\xEF\xBF\xBD"]].size, 3);
  for (const char* sizeless : {"docs", "empty", "link-to-docs", "fifo"}) EXPECT_EQ(entries[at[sizeless]].size, 0);
  EXPECT_EQ(entries[at["docs/a.txt"]].mtimeNs, 1'700'000'000'123'456'789);
  EXPECT_EQ(entries[at["docs"]].mtimeNs, -86'400'000'000'001);
  EXPECT_EQ(entries[at["link-to-docs"]].mtimeNs, 1'600'000'000'000'000'007);

  // Each directory is followed at once by everything below it, and the top
  // level comes in the order the file system lists it.
  for (const char* dir : {"docs", "docs/sub", "dir\xEF\xBF\xBD"}) {
    const std::string prefix = std::string(dir) + "/";
    size_t i = at[dir] + 1;
    while (i < entries.size() && entries[i].path.rfind(prefix, 0) == 0) ++i;
    for (size_t j = i; j < entries.size(); ++j) EXPECT_NE(entries[j].path.rfind(prefix, 0), 0u) << entries[j].path;
  }
  std::vector<std::string> topLevel;
  for (const WalkEntry& e : entries)
    if (e.path.find('/') == std::string::npos) topLevel.push_back(e.path);
  std::vector<std::string> listed = *listNames(scratch.path());
  for (std::string& name : listed) {
    if (name == "bad\xFF") name = "bad\xEF\xBF\xBD";
    if (name == "dir\xFE") name = "dir\xEF\xBF\xBD";
  }
  EXPECT_EQ(topLevel, listed);

  EXPECT_EQ(pathsOf(walkAll(scratch.path() + "/")), pathsOf(entries));
}

TEST(Walk, RootsWithNothingToDeliver) {
  ScratchDir scratch(Volume::xfs);
  createDirectories(scratch / "empty");
  writeWholeFile(scratch / "file", "x");
  ASSERT_EQ(symlink("empty", (scratch / "link").c_str()), 0);
  EXPECT_EQ(outcome(scratch / "empty"), "ok");
  EXPECT_EQ(outcome(scratch / "missing"), "ok");
  EXPECT_EQ(outcome(scratch / "file"), "ok");
  EXPECT_EQ(outcome(scratch / "link"), "ok");  // the root is not followed either
  EXPECT_EQ(outcome(""), "io: Couldn't read : No such file or directory");
}

TEST(Walk, UnreadableItemsStopTheWalkWithTheirFullPath) {
  ScratchDir scratch(Volume::btrfs);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string locked = scratch / "one", listable = scratch / "two";
  createDirectories(locked + "/locked");
  writeWholeFile(locked + "/locked/secret", "s");
  createDirectories(listable + "/listable/inner");
  ASSERT_EQ(chmod((locked + "/locked").c_str(), 0), 0);
  // Readable but not searchable: names can be listed, their status cannot.
  ASSERT_EQ(chmod((listable + "/listable").c_str(), 0444), 0);

  EXPECT_EQ(asNobody([&] { return outcome(locked); }),
            "locked\nio: Couldn't read " + locked + "/locked: Permission denied");
  EXPECT_EQ(asNobody([&] { return outcome(listable); }),
            "listable\nio: Couldn't read " + listable + "/listable/inner: Permission denied");
  // An unreadable root is the caller's to check; the walk finds nothing.
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  EXPECT_EQ(asNobody([&] { return outcome(locked); }), "ok");
  // As the owner with every right, the same trees walk whole.
  EXPECT_EQ(outcome(locked), "locked\nlocked/secret\nok");
  EXPECT_EQ(outcome(listable), "listable\nlistable/inner\nok");
}

TEST(Walk, CancellationIsSeenAtEvery512thEntry) {
  ScratchDir scratch(Volume::btrfs);
  createDirectories(scratch / "many");
  for (int i = 0; i < 600; ++i) writeWholeFile(scratch / ("many/f" + std::to_string(i)), "");
  createDirectories(scratch / "few");
  for (int i = 0; i < 511; ++i) writeWholeFile(scratch / ("few/f" + std::to_string(i)), "");

  OperationControl cancelled;
  cancelled.cancel();
  size_t delivered = 0;
  try {
    walk(scratch / "many", &cancelled, [&](const WalkEntry&) { ++delivered; });
    ADD_FAILURE() << "walk was not cancelled";
  } catch (const RedomarkError& e) {
    EXPECT_EQ(e, RedomarkError::cancelled());
  }
  EXPECT_EQ(delivered, 511u);
  EXPECT_EQ(walkAll(scratch / "few", &cancelled).size(), 511u);
  EXPECT_EQ(walkAll(scratch / "many").size(), 600u);

  // Cancelled midway by the visitor: the walk ends at the next check.
  OperationControl control;
  delivered = 0;
  EXPECT_THROW(walk(scratch.path(), &control,
                    [&](const WalkEntry&) {
                      if (++delivered == 700) control.cancel();
                    }),
               RedomarkError);
  EXPECT_EQ(delivered, 1023u);
}

TEST(Walk, VisitorErrorsPassThroughAndNothingStaysOpen) {
  ScratchDir scratch(Volume::xfs);
  std::string deep = scratch.path();
  std::string expectedLast;
  for (int i = 0; i < 300; ++i) {
    deep += "/d";
    expectedLast += expectedLast.empty() ? "d" : "/d";
  }
  createDirectories(deep);
  writeWholeFile(deep + "/bottom", "b");
  expectedLast += "/bottom";

  const int before = openDescriptors();
  int seen = 0;
  try {
    walk(scratch.path(), nullptr, [&](const WalkEntry&) {
      if (++seen == 250) throw std::runtime_error("visitor gave up");
    });
    ADD_FAILURE() << "visitor error was swallowed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "visitor gave up");
  }
  EXPECT_EQ(seen, 250);
  EXPECT_EQ(openDescriptors(), before);

  // With few descriptors to spare the deep tree is still walked whole.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(before) + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<WalkEntry> entries;
  std::string failure;
  try {
    entries = walkAll(scratch.path());
  } catch (const std::exception& e) {
    failure = e.what();
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(failure, "");
  ASSERT_EQ(entries.size(), 301u);
  EXPECT_EQ(entries.back().path, expectedLast);
  EXPECT_EQ(entries.back().kind, EntryKind::file);
  EXPECT_EQ(entries[299].kind, EntryKind::directory);
  EXPECT_EQ(openDescriptors(), before);
}

TEST(Walk, MountPointInsideIsDeliveredAndEntered) {
  ScratchDir outer(Volume::btrfs);
  ScratchDir other(Volume::xfs);
  writeWholeFile(other / "on-xfs", "x");
  createDirectories(outer / "mnt");
  ASSERT_EQ(mount(other.path().c_str(), (outer / "mnt").c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{outer / "mnt"};
  struct stat xfs {}, btrfs {};
  ASSERT_EQ(stat(other.path().c_str(), &xfs), 0);
  ASSERT_EQ(stat(outer.path().c_str(), &btrfs), 0);

  const std::vector<WalkEntry> entries = walkAll(outer.path());
  ASSERT_EQ(pathsOf(entries), (std::vector<std::string>{"mnt", "mnt/on-xfs"}));
  EXPECT_EQ(entries[0].dev, static_cast<int32_t>(xfs.st_dev));
  EXPECT_NE(entries[0].dev, static_cast<int32_t>(btrfs.st_dev));
  EXPECT_EQ(entries[1].size, 1);
}

}  // namespace
}  // namespace redomark::testing
