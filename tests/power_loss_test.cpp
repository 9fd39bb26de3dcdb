// A power loss right after the tool answers, or at any moment while it works,
// simulated on an XFS volume of the test's own: the file system is shut down
// without flushing its log, then mounted again, and what the tool reported
// must still be there.
#include <sys/mount.h>

#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

int shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// A small XFS image of the test's own, loop-mounted in its scratch folder; the
// shared test volumes must never be shut down.
class PowerLoss : public CommandLine {
 protected:
  PowerLoss() {
    toolHome = mnt + "/home";
    EXPECT_EQ(shell("truncate -s 320M " + image + " && mkfs.xfs -q -f -m reflink=1 " + image + " && mkdir " + mnt +
                    " && mount -o loop " + image + " " + mnt + " && mkdir " + toolHome),
              0);
    for (int i = 0; i < 40; ++i)
      writeFiles(folder, {{"sub/f" + std::to_string(i), std::string(5000 + i, 'a' + i % 26)}});
  }
  ~PowerLoss() override { umount2(mnt.c_str(), MNT_DETACH); }
  // As a power loss: nothing the log holds in memory reaches the disk.
  void loseThePower() { EXPECT_EQ(shell("xfs_io -x -c shutdown " + mnt), 0); }
  // Once nothing has files open on it any more.
  void mountAgain() { EXPECT_EQ(shell("umount " + mnt + " && mount -o loop " + image + " " + mnt), 0); }

  std::string image = scratch / "xfs.img", mnt = scratch / "mnt", folder = mnt + "/work";
};

// A save cut off at a random moment leaves only whole redomarks; a finished save and restore stay done.
TEST_F(PowerLoss, WhatWasReportedSurvivesAndACutOffSaveLeavesOnlyWholeRedomarks) {
  const TreeSnapshot state = snapshotTree(folder);
  const std::string id = saved(folder);
  loseThePower(), mountAgain();
  EXPECT_EQ(savedIds(folder), std::vector<std::string>{id}) << "the saved redomark is gone";
  std::mt19937 random(seedFrom("REDOMARK_POWER_SEED"));  // printed, for a repeat
  for (int trial = 0; trial < 5; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    ToolProcess save({"save", folder}, toolHome);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    loseThePower();
    save.wait();
    mountAgain();
    // Every listed redomark holds exactly the folder, which never changed.
    for (const std::string& listed : savedIds(folder)) {
      EXPECT_TRUE(snapshotTree(savedData(folder, listed)) == state) << listed << " is not whole";
      EXPECT_EQ(tool({"diff", folder, listed}).status, 0) << listed;
    }
    EXPECT_TRUE(snapshotTree(folder) == state);
  }

  writeFiles(folder, {{"sub/f0", "second"}, {"added", "new"}});
  const ToolRun restored = tool({"restore", folder, id, "--yes"});
  ASSERT_EQ(restored.status, 0) << restored.err;
  loseThePower(), mountAgain();
  EXPECT_TRUE(snapshotTree(folder) == state) << "the restore was undone";
  const std::string before = restored.out.substr(restored.out.find("saved as redomark ") + 18, 20);
  EXPECT_NE(tool({"list", folder}).out.find(before), std::string::npos) << "the automatic redomark is gone";
}

}  // namespace
}  // namespace redomark::testing
