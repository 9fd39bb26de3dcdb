// The folder lock between real processes, what it leaves on disk and the
// links it does not follow. That it is held while an operation runs and let
// go of after a refusal is checked through the engine and the tool.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>


#include "core/records/redomark_error.h"
#include "core/store/folder_lock.h"
#include "tests/engine_test_support.h"
#include "tests/error_of.h"
#include "tests/test_volumes.h"

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
  const RedomarkError busy = errorOf([&] { withFolderLock(store, folder, [] {}); });
  EXPECT_STREQ(busy.what(), "Another Redomark operation is already running on /data/Site. Wait for it to finish.");
  EXPECT_EQ(busy, RedomarkError::busy(folder));
  bool ran = false;
  withFolderLock(store, "/data/Other", [&] { ran = true; });
  EXPECT_TRUE(ran) << "other folders are not held up";

  kill(holder, SIGKILL);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  // The lock file stays, private to its owner, in a private directory.
  EXPECT_EQ(permissions(store.folderDirectory(folder) + "/.lock"), 0600u);
  EXPECT_EQ(permissions(store.folderDirectory(folder)), 0700u);
  ran = false;
  withFolderLock(store, folder, [&] { ran = true; });
  EXPECT_TRUE(ran);
  close(ready[0]);
  close(ready[1]);
}

TEST(FolderLock, ALockThatCannotBeOpenedIsAnIoErrorAndPlantedLinksAreNotFollowed) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  const std::string dir = store.folderDirectory(folder);
  bool ran = false;
  const auto attempt = [&] { withFolderLock(store, folder, [&] { ran = true; }); };

  createDirectories(dir, 0700);
  ASSERT_EQ(symlink((scratch / "outside-lock").c_str(), (dir + "/.lock").c_str()), 0);
  EXPECT_EQ(errorOf(attempt), RedomarkError::io("Couldn't open the lock for /data/Site."));
  EXPECT_FALSE(pathExists(scratch / "outside-lock"));

  // A folder directory that is a link, or that others may enter, is refused.
  removeTree(dir);
  createDirectories(scratch / "outside-dir", 0700);
  ASSERT_EQ(symlink((scratch / "outside-dir").c_str(), dir.c_str()), 0);
  EXPECT_EQ(errorOf(attempt), RedomarkError::unsafeStore(dir));
  EXPECT_EQ(listNames(scratch / "outside-dir"), std::vector<std::string>{});
  ASSERT_EQ(unlink(dir.c_str()), 0);
  createDirectories(dir, 0755);
  EXPECT_EQ(errorOf(attempt), RedomarkError::unsafeStore(dir));
  EXPECT_EQ(listNames(dir), std::vector<std::string>{});

  writeFile(scratch / "file", "");
  EXPECT_THROW(withFolderLock(CheckpointStore(scratch / "file/store"), folder, [&] { ran = true; }),
               RedomarkError);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace redomark::testing
