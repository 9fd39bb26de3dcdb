// Saves and restores on a nearly full volume. A copy that runs out of space
// (the tracer turns cloning off, so every file is copied byte by byte) fails
// with one line and status 1, leaves the folder as it was and gives the space
// back; the space check refuses a save or restore with the exact figures.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/fs/file_ops.h"
#include "core/fs/safety_policy.h"
#include "core/operations/redomark.h"
#include "tests/engine_test_support.h"
#include "tests/path_helpers.h"
#include "tests/store_checks.h"
#include "tests/tool_process.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

constexpr int64_t MiB = 1024 * 1024;

// Free space as the tool reads it, once the file system has given back what
// was freed (Btrfs does when its transaction commits).
int64_t availableBytes(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(syncfs(fd), 0);
  close(fd);
  struct statfs facts {};
  EXPECT_EQ(statfs(path.c_str(), &facts), 0);
  return static_cast<int64_t>(facts.f_bavail) * facts.f_bsize;
}

// Takes space with a new file until about `leave` bytes are free.
void fillUntil(const std::string& path, int64_t leave) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fallocate(fd, 0, 0, availableBytes(parentPath(path)) - leave), 0);
  close(fd);
}

TEST(DiskFull, RunningOutOfSpaceLeavesTheFolderAndStoreAsTheyWere) {
  ScratchDir scratch(Volume::small);
  const std::string parent = canonicalPath(scratch.path()), home = parent + "/home", folder = parent + "/f";
  makeDirectory(home);
  makeDirectory(folder);
  writeFile(folder + "/big", std::string(80 * MiB, 'x'));
  writeFile(folder + "/small.txt", "small");
  ASSERT_EQ(runTool({"save", folder}, home).status, 0);  // clones: takes almost no space
  const Redomark engine(home + "/.local/share/Redomark/Checkpoints");
  const std::string store = engine.storeFor(folder).folderDirectory(folder);
  const std::string firstData = engine.storeFor(folder).dataDirectory(engine.listCheckpoints(folder).at(0));
  const std::vector<std::string> copyOnly{"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=ioctl,copy_file_range",
                                          "-e", "inject=ioctl:error=EOPNOTSUPP", "-e", "inject=copy_file_range:error=EXDEV"};

  const auto expectCleanFailure = [&](const std::vector<std::string>& args, const std::vector<std::string>& launcher,
                                      const std::string& message, size_t checkpoints) {
    const TreeSnapshot before = snapshotTree(folder);
    const int64_t free = availableBytes(parent);
    const ToolRun run = runTool(args, home, launcher);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(matchesPattern(run.err, "redomark: " + message + "\n")) << run.err << "expected: " << message;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(snapshotTree(folder) == before) << "the folder changed";
    EXPECT_EQ(expectWholeCheckpoints(engine, folder).size(), checkpoints);
    EXPECT_EQ(leftoverNames(store), std::vector<std::string>{});
    EXPECT_EQ(leftoverNames(parent), std::vector<std::string>{});
    EXPECT_GT(availableBytes(parent), free - 4 * MiB) << "the space of the failed copy was not given back";
  };

  // Room for the space check, not for copying 80 MB.
  fillUntil(parent + "/filler", 72 * MiB);
  expectCleanFailure({"save", folder}, copyOnly, "Couldn't copy " + folder + "/big: No space left on device.", 1);

  // The save before the restore copies only the small file; the restore's
  // copy of the checkpoint, which still holds the big one, runs out.
  std::remove((folder + "/big").c_str());
  writeFile(folder + "/small.txt", "changed");
  expectCleanFailure({"restore", folder, "--yes"}, copyOnly,
                     "Couldn't copy " + firstData + "/big: No space left on device.", 2);

  // 64 MiB and 2 KiB for the one item; a restore, which saves first, is refused alike.
  fillUntil(parent + "/filler2", 40 * MiB);
  const std::string refusal =
      "Not enough free space: about 67110912 bytes needed, " + std::to_string(availableBytes(parent)) + " available.";
  expectCleanFailure({"save", folder}, {}, refusal, 2);
  expectCleanFailure({"restore", folder, "--yes"}, {}, refusal, 2);
}

}  // namespace
}  // namespace redomark::testing
