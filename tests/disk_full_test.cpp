// Saves and restores on a nearly full volume, cloning turned off by the tracer
// where it says so (every file copied byte by byte). A save refuses to copy a
// file that would eat into its free-space reserve; a restore's copy that runs
// out of space fails with one line and status 1; both leave the folder as it
// was and give the space back; the space check refuses a save with the exact
// figures.
#include "core/fs/path_text.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

constexpr int64_t MiB = 1024 * 1024;

// Free space as the tool reads it, once the file system has given back what
// was freed (Btrfs does when its transaction commits).
int64_t availableBytes(const std::string& path) {
  sync();
  return static_cast<int64_t>(std::filesystem::space(path).available);
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
  // No copy-on-write, as a virtual disk would be: it is still cloned.
  writeFiles(folder, {{"big", ""}, {"small.txt", "small"}});
  setInodeFlags(folder + "/big", FS_NOCOW_FL, true);
  writeFile(folder + "/big", std::string(80 * MiB, 'x'));
  const int64_t freeBeforeSave = availableBytes(parent);
  ASSERT_EQ(runTool({"save", folder}, home).status, 0);
  EXPECT_GT(availableBytes(parent), freeBeforeSave - 4 * MiB) << "it was copied, not cloned";
  const Redomark engine(home + "/.local/share/Redomark/Checkpoints");
  const std::string store = engine.storeFor(folder).folderDirectory(folder);
  const std::string firstData = engine.storeFor(folder).dataDirectory(engine.listCheckpoints(folder).at(0));
  const std::vector<std::string> copyOnly = tracer({"ioctl:error=EOPNOTSUPP", "copy_file_range:error=EXDEV"});

  const auto expectCleanFailure = [&](const std::vector<std::string>& args, const std::vector<std::string>& launcher,
                                      const std::string& message, size_t checkpoints) {
    const TreeSnapshot before = snapshotTree(folder);
    const int64_t free = availableBytes(parent);
    const ToolRun run = runTool(args, home, launcher);
    EXPECT_TRUE(run.status == 1 && run.out.empty() && matchesPattern(run.err, "redomark: " + message + "\n"))
        << ::testing::PrintToString(run) << "expected: " << message;
    EXPECT_EQ(snapshotTree(folder), before);
    EXPECT_EQ(expectWholeCheckpoints(engine, folder).size(), checkpoints);
    EXPECT_EQ(leftoverNames(store).size() + leftoverNames(parent).size(), 0u);
    EXPECT_GT(availableBytes(parent), free - 4 * MiB) << "the space of the failed copy was not given back";
  };

  // Room for the space check, not for copying 80 MB beyond its reserve of 64 MiB and 2 KiB for each of the 2 items.
  fillUntil(parent + "/filler", 88 * MiB);
  expectCleanFailure({"save", folder}, copyOnly,
                     "Not enough free space: about " + std::to_string(64 * MiB + 2 * 2048 + 80 * MiB) +
                         " bytes needed, * available.",
                     1);
  // The save before the restore copies only the small file; the restore's copy of the checkpoint, which still
  // holds the big one, runs out.
  fillUntil(parent + "/filler1", 72 * MiB);
  std::remove((folder + "/big").c_str());
  writeFile(folder + "/small.txt", "changed");
  expectCleanFailure({"restore", folder, "--yes"}, copyOnly,
                     "Couldn't copy " + firstData + "/big: No space left on device.", 2);

  // 64 MiB and 2 KiB for the one item, and exactly what the tool saw free.
  fillUntil(parent + "/filler2", 40 * MiB);
  expectCleanFailure({"save", folder}, {},
                     "Not enough free space: about 67110912 bytes needed, " + std::to_string(availableBytes(parent)) +
                         " available.",
                     2);
}

}  // namespace
}  // namespace redomark::testing
