// Saves, whole restores and single-item restores of a large tree killed with
// SIGKILL at random moments and at random system calls, and cancelled with
// SIGINT (Ctrl-C) at random moments. After every kill:
// each listed checkpoint is whole and holds a state the folder really had, the
// folder is exactly as before or exactly restored, every file's bytes are still
// somewhere the user can find them, and the next save cleans up and succeeds;
// a cancelled run has cleaned up itself.
// REDOMARK_CRASH_TRIALS sets the trials per operation (the suite runs a few,
// scripts/crash many); REDOMARK_CRASH_SEED repeats a run.
#include <sys/mount.h>

#include <csignal>
#include <unordered_set>

#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* item = "big";  // what restoreItem puts back

// Each operation: what follows the folder on its command line ("" the target id)
// (nothing: a save), and roughly how often it makes these calls on the tree
// below, so that a random call number lands anywhere in it (past the end: no
// kill). The tracer kills the process as the call begins, before it takes
// effect. A subvolume folder, saved and restored by a few snapshot calls,
// is mostly killed at random moments instead.
struct Operation {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::pair<std::string, int>> calls;
};
const Operation operations[] = {
    {"save", {}, {{"ioctl", 2400}, {"mkdirat", 55}, {"write", 3}, {"rename", 1}, {"unlinkat", 2}}},
    {"restore", {"", "--yes"}, {{"ioctl", 4800}, {"mkdirat", 110}, {"write", 4}, {"rename", 1}, {"renameat2", 3}}},
    {"restoreItem", {"", "--file", item, "--yes"}, {{"ioctl", 1200}, {"mkdirat", 30}, {"renameat2", 3}, {"write", 2}}},
};

// Where an interrupted restore leaves bytes beside the item it replaces: not
// part of the folder's state, but a place the user's data may be.
bool isAside(const std::string& name) {
  return name.starts_with(".redomark-restore-") || name.find(" (replaced by Redomark") != std::string::npos;
}

TreeSnapshot folderState(const std::string& folder) {
  TreeSnapshot tree = snapshotTree(folder);
  std::erase_if(tree, [](const auto& e) { return isAside(e.first.substr(0, e.first.find('/'))); });
  return tree;
}

// Hashes of the contents of every regular file in a snapshot.
void addContents(const TreeSnapshot& tree, std::unordered_set<size_t>& into) {
  for (const auto& [path, line] : tree)
    if (line.starts_with("file ")) into.insert(std::hash<std::string>{}(line.substr(line.find('|') + 1)));
}

// 2,400 files of about 4 KB, half of them below the item restoreItem puts back.
void makeTree(const std::string& root) {
  for (int n = 0; n < 2400; ++n) {
    const int d = n / 48, f = n % 48;
    const std::string name = (d < 25 ? std::string(item) + "/s" : "d") + std::to_string(d) + "/f" + std::to_string(f);
    writeFiles(root, {{name, std::string(4096 + f, char('a' + (d + f) % 26)) + name}});
  }
}

class CrashHarness {
 public:
  CrashHarness(const Operation& op, bool subvolume) : op_(op) {
    fs::create_directories(home_);
    EXPECT_EQ(subvolume ? std::system(("btrfs -q subvolume create " + scratch_ / "tree").c_str()) : 0, 0);
    makeTree(scratch_ / "tree");
    folder_ = canonicalPath(scratch_ / "tree");
    saveAndTarget();
  }

  // One trial: change the folder, run the operation (trial 0 unkilled and timed; then in turn to a Ctrl-C at a
  // random moment, a kill at a random system call and a kill at a random moment), check, then clear away what was
  // moved aside and save, which must succeed.
  void trial(int number) {
    const std::string n = std::to_string(number);
    writeFiles(folder_, {{item + ("/s" + std::to_string(number % 25)) + "/f0", "trial " + n},
                         {"d" + std::to_string(25 + number % 25) + "/f1", "also trial " + n},
                         {"note-" + n, std::string(3000, 'n') + n}});
    const TreeSnapshot before = folderState(folder_);
    knownStates_.insert(before);

    const int64_t delay = std::uniform_int_distribution<int64_t>(0, cleanRunUs_ * 6 / 5)(random_);
    const auto& [syscall, count] = op_.calls[std::uniform_int_distribution<size_t>(0, op_.calls.size() - 1)(random_)];
    const std::string call = std::to_string(std::uniform_int_distribution<int>(1, count)(random_));
    const int signal = number % 3 == 1 ? SIGINT : SIGKILL;
    const std::string how = number == 0 ? "unkilled"
                            : number % 3 == 2
                                ? "killed at " + syscall + " call " + call
                                : "signal " + std::to_string(signal) + " after " + std::to_string(delay) + " us";
    SCOPED_TRACE("trial " + n + ", " + how);
    ToolRun run;
    if (number == 0) {
      const auto started = Clock::now();
      run = runTool(arguments(), home_);
      cleanRunUs_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
    } else if (number % 3 == 2) {
      run = runTool(arguments(), home_, tracer({syscall + ":signal=KILL:when=" + call}));
    } else {
      ToolProcess process(arguments(), home_);
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      process.kill(signal);
      run = process.wait();
    }
    std::printf("trial %d, %s: status %d\n", number, how.c_str(), run.status);
    // Cancelled by the tool, or by the signal itself before the tool could catch it; either way nothing half made
    // is left.
    EXPECT_TRUE(run.status == 0 || run.status == 128 + SIGKILL ||
                (run.status == 128 + SIGINT && (run.err == "redomark: Cancelled.\n" || run.err.empty()) &&
                 leftoverNames(engine_.storeFor(folder_).folderDirectory(folder_)).empty() &&
                 leftoverNames(scratch_.path()).empty()))
        << ::testing::PrintToString(run);
    expectBeforeOrRestored(before, folderState(folder_));
    const std::vector<Checkpoint> listed = expectWholeCheckpoints(engine_, folder_);
    for (const Checkpoint& c : listed) learn(c);
    expectNothingLost(before, listed);
    const TreeSnapshot restored = target_, restoredItem = targetItem_;
    clearAside();
    saveAndTarget();
    expectNoCopyLeftOf(restored, restoredItem);
  }

 private:
  std::vector<std::string> arguments() const {
    std::vector<std::string> args{op_.options.empty() ? "save" : "restore", folder_};
    for (const std::string& o : op_.options) args.push_back(o.empty() ? targetId_ : o);
    return args;
  }

  void expectBeforeOrRestored(const TreeSnapshot& before, const TreeSnapshot& after) {
    const auto putBack = [&](const auto& e) { return op_.options.size() < 3 || e.first.starts_with(item); };
    TreeSnapshot restored = withoutRoot(before);
    if (!op_.options.empty()) {
      std::erase_if(restored, putBack);
      std::copy_if(target_.begin(), target_.end(), std::inserter(restored, restored.end()), putBack);
    }
    EXPECT_TRUE(withoutRoot(after) == withoutRoot(before) || withoutRoot(after) == withoutRoot(restored))
        << "the folder is neither as before nor restored";
  }

  // Each checkpoint, checked once, holds a state the folder really had; its contents are remembered for the
  // search of lost bytes.
  void learn(const Checkpoint& c) {
    if (contents_.contains(c.id)) return;
    const TreeSnapshot saved = snapshotTree(engine_.storeFor(folder_).dataDirectory(c));
    EXPECT_TRUE(knownStates_.contains(saved)) << c.id << " holds a state the folder never had";
    addContents(saved, contents_[c.id]);
  }

  void expectNothingLost(const TreeSnapshot& before, const std::vector<Checkpoint>& listed) {
    std::unordered_set<size_t> found;
    // In the folder, the Trash, or moved aside beside the folder.
    if (fs::exists(trash())) addContents(snapshotTree(trash()), found);
    for (const std::string& name : sortedNames(scratch_.path()))
      if (name == "tree" || isAside(name)) addContents(snapshotTree(scratch_ / name), found);
    for (const Checkpoint& c : listed) found.insert(contents_[c.id].begin(), contents_[c.id].end());
    std::unordered_set<size_t> nowhere;  // the contents of files whose bytes are nowhere
    addContents(before, nowhere);
    std::erase_if(nowhere, [&](size_t bytes) { return found.contains(bytes); });
    EXPECT_EQ(nowhere.size(), 0u) << "of the files before the run, some are nowhere";
  }

  std::string trash() const { return home_ + "/.local/share/Trash"; }

  // What a killed run moved aside goes; the copies it was making stay, for
  // the next save to remove.
  void clearAside() {
    fs::remove_all(trash());
    for (const std::string& directory : {scratch_.path(), folder_})
      for (const std::string& name : sortedNames(directory))
        if (isAside(name) && !name.starts_with(".redomark-restore-")) fs::remove_all(directory + "/" + name);
  }

  // After the next save, a hidden entry beside the folder or the item may
  // only hold what a restore replaced, never a copy of what it put back.
  void expectNoCopyLeftOf(const TreeSnapshot& restored, const TreeSnapshot& restoredItem) {
    for (const std::string& directory : {scratch_.path(), folder_})
      for (const std::string& name : sortedNames(directory)) {
        if (!name.starts_with(".redomark-restore-")) continue;
        const TreeSnapshot left = withoutRoot(snapshotTree(directory + "/" + name));
        EXPECT_TRUE(left != withoutRoot(restored) && left != withoutRoot(restoredItem))
            << name << " is a copy a killed restore was making, left behind";
        fs::remove_all(directory + "/" + name);
      }
  }

  // Saves the folder as it is: the next restore's target. Whatever a killed
  // run left in the store must be gone afterwards.
  void saveAndTarget() {
    const TreeSnapshot unsaved = folderState(folder_);
    const ToolRun run = runTool({"save", folder_}, home_);
    ASSERT_EQ(run.status, 0) << run.err;
    // Removing a copy a killed run left inside the folder, or moving aside
    // what it had replaced, moves the folder's own times, and nothing else.
    EXPECT_TRUE(withoutRoot(folderState(folder_)) == withoutRoot(unsaved)) << "the save changed the folder";
    target_ = folderState(folder_);
    targetItem_ = snapshotTree(folder_ + "/" + item);
    // What the save moved aside and could not send to the Trash stays, and was saved.
    knownStates_.insert(snapshotTree(folder_));
    EXPECT_EQ(leftoverNames(engine_.storeFor(folder_).folderDirectory(folder_)), std::vector<std::string>{});
    const std::vector<Checkpoint> listed = expectWholeCheckpoints(engine_, folder_);
    ASSERT_FALSE(listed.empty());
    targetId_ = listed.back().id;
    learn(listed.back());
  }

  const Operation& op_;
  ScratchDir scratch_{Volume::btrfs};
  const std::string home_ = scratch_ / "home";
  const Redomark engine_{home_ + "/.local/share/Redomark/Checkpoints"};
  std::string folder_;
  std::mt19937 random_{seedFrom("REDOMARK_CRASH_SEED")};
  int64_t cleanRunUs_ = 0;
  std::string targetId_;  // the latest checkpoint, which holds target_
  TreeSnapshot target_, targetItem_;
  std::set<TreeSnapshot> knownStates_;                           // every state the folder had
  std::map<std::string, std::unordered_set<size_t>> contents_;  // content hashes per checked checkpoint
};

class CrashConsistency : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(CrashConsistency, KilledRunsLoseNothingAndLeaveOnlyWholeCheckpoints) {
  CrashHarness harness(operations[std::get<0>(GetParam())], std::get<1>(GetParam()));
  const int trials = std::getenv("REDOMARK_CRASH_TRIALS") ? std::atoi(std::getenv("REDOMARK_CRASH_TRIALS")) : 4;
  for (int trial = 0; trial < trials && !HasFailure(); ++trial) harness.trial(trial);
}

INSTANTIATE_TEST_SUITE_P(Operations, CrashConsistency, ::testing::Combine(::testing::Range(0, 3), ::testing::Bool()),
                         [](const auto& info) {
                           return operations[std::get<0>(info.param)].name +
                                  std::string(std::get<1>(info.param) ? "OfASubvolume" : "");
                         });

// A power loss right after the tool answers, or at any moment while it works,
// simulated on an XFS volume of the test's own: the file system is shut down
// without flushing its log, then mounted again, and what the tool reported
// must still be there.
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
