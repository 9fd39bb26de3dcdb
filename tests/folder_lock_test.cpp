// The folder lock between real processes, what it leaves on disk and the
// links it does not follow.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/store/folder_lock.h"
#include "tests/engine_test_support.h"

namespace redomark::testing {
namespace {

const std::string folder = "/data/Site";

TEST(FolderLock, ASecondProcessFailsAtOnceAndAKilledHoldersLockIsTakenNext) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    try {
      withFolderLock(store, folder, [&] {
        if (write(ready[1], "x", 1) == 1) pause();
      });
    } catch (...) {
    }
    _exit(1);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1) << "the holder took the lock";
  // A lock that waited would hang here until the test's time limit.
  EXPECT_EQ(errorOf([&] { withFolderLock(store, folder, [] {}); }), RedomarkError::busy(folder));
  int ran = 0;
  withFolderLock(store, "/data/Other", [&] { ++ran; });
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // The lock file stays, private to its owner, in a private directory.
  EXPECT_EQ(permissions(store.folderDirectory(folder) + "/.lock"), 0600u);
  EXPECT_EQ(permissions(store.folderDirectory(folder)), 0700u);
  withFolderLock(store, folder, [&] { ++ran; });
  EXPECT_EQ(ran, 2);
  close(ready[0]);
  close(ready[1]);
}

TEST(FolderLock, PlantedLinksAndOpenDirectoriesAreRefused) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  const std::string dir = store.folderDirectory(folder);
  const auto attempt = [&] { withFolderLock(store, folder, [] { ADD_FAILURE() << "locked"; }); };
  createDirectories(dir, 0700);
  ASSERT_EQ(symlink((scratch / "outside-lock").c_str(), (dir + "/.lock").c_str()), 0);
  EXPECT_EQ(errorOf(attempt), RedomarkError::io("Couldn't open the lock for /data/Site."));
  EXPECT_FALSE(pathExists(scratch / "outside-lock"));
  // A folder directory that is a link, or that others may enter, is refused.
  removeTree(dir);
  createDirectories(scratch / "outside-dir", 0700);
  ASSERT_EQ(symlink((scratch / "outside-dir").c_str(), dir.c_str()), 0);
  EXPECT_EQ(errorOf(attempt), RedomarkError::unsafeStore(dir));
  EXPECT_EQ(sortedNames(scratch / "outside-dir"), std::vector<std::string>{});
  ASSERT_EQ(unlink(dir.c_str()), 0);
  createDirectories(dir, 0755);
  EXPECT_EQ(errorOf(attempt), RedomarkError::unsafeStore(dir));
  EXPECT_EQ(sortedNames(dir), std::vector<std::string>{});
}

}  // namespace
}  // namespace redomark::testing
