// What runs beside the tool never makes it report something false: a budget
// prune racing a restore, lock files removed while another process is about
// to lock them, an editor saving by rename during saves, and trees deeper
// than the descriptors a process may hold. Each race is run for real, a
// bounded number of times.

#include <atomic>

#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

class Concurrency : public CommandLine, public ::testing::WithParamInterface<Volume> {
 protected:
  Concurrency() : CommandLine(GetParam()) {}
};

// Folders A and B share a store whose budget is smaller than anything saved,
// so that each save of A prunes B's older redomark unless B is busy.
TEST_P(Concurrency, ARestoreRacingABudgetPruneRestoresExactlyOrFailsInOneLine) {
  const std::string a = scratch / "a", b = scratch / "b";
  emptyFiles(a, 500);
  emptyFiles(b, 2000);
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(tool({"settings", "--budget", "none"}).status, 0);
    writeFile(b + "/0", "old");
    const std::string older = saved(b);
    const TreeSnapshot wanted = snapshotTree(b);
    writeFile(b + "/0", "new " + std::to_string(round));
    saved(b);
    ASSERT_EQ(tool({"settings", "--budget", "1"}).status, 0);
    ToolProcess pruner({"save", a}, toolHome);
    const ToolRun restore = tool({"restore", b, older, "--yes"});
    EXPECT_EQ(pruner.wait().status, 0);
    // Exactly the older state, or refused in one line with the folder still there.
    EXPECT_TRUE(restore.status == 0
                    ? snapshotTree(b) == wanted
                    : std::count(restore.err.begin(), restore.err.end(), '\n') == 1 && !snapshotTree(b).empty())
        << "round " << round << ": " << restore.err;
  }
}

// A save delayed between opening the lock file and locking it (strace holds
// the flock call back) while the folder's last redomark is deleted, which
// removes the lock file with the folder's store directory, and a third save
// takes a new one. Whoever saves, every redomark holds the whole folder.
TEST_P(Concurrency, ALockFileRemovedBeforeItIsLockedIsNeverHeldTwice) {
  const std::string folder = scratch / "f";
  emptyFiles(folder, 2000);
  for (int round = 0; round < 4; ++round) {
    const std::string first = saved(folder);
    ToolProcess delayed({"save", folder}, toolHome, tracer({"flock:delay_enter=400000"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(tool({"delete", folder, first, "--yes"}).status, 0);
    const ToolRun third = tool({"save", folder});
    const ToolRun second = delayed.wait();
    for (const ToolRun* run : {&second, &third})
      EXPECT_TRUE(run->status == 0 || run->err.find("is already running on") != std::string::npos) << run->err;
    // Every listed redomark holds the folder as it is.
    for (const std::string& id : savedIds(folder))
      EXPECT_TRUE(tool({"diff", folder, id}).out.ends_with(":\n  none\n")) << "round " << round << ": " << id;
  }
}

// An editor writes a temporary file and renames it over the document, again
// and again, while the folder is saved: every save succeeds and keeps one
// whole version of the document.
TEST_P(Concurrency, SavesBesideAnEditorSavingByRenameSucceedWithOneWholeVersion) {
  const std::string folder = scratch / "f";
  emptyFiles(folder, 3000);
  const auto version = [](int n) { return std::string(64 * 1024, static_cast<char>('a' + n % 26)); };
  writeFile(folder + "/doc.txt", version(0));
  std::atomic<bool> stop = false;
  std::thread editor([&] {
    for (int n = 1; !stop; ++n) {
      const std::string swap = folder + "/.doc.txt.swp" + std::to_string(n % 7);
      writeFile(swap, version(n));
      std::rename(swap.c_str(), (folder + "/doc.txt").c_str());
    }
  });
  int kept = 0;
  for (int i = 0; i < 6; ++i) {
    // A document replaced while it was copied may be left out, noted as changed.
    const std::string bytes = readFile(savedData(folder, saved(folder)) + "/doc.txt");
    kept += !bytes.empty();
    EXPECT_TRUE(bytes.empty() || bytes == version(bytes[0] - 'a')) << "save " << i;
  }
  stop = true;
  editor.join();
  std::printf("the document was kept by %d of 6 saves\n", kept);
  EXPECT_GT(kept, 0);
}

// A chain of directories ten thousand deep, under the usual limit of 1,024
// open files, its paths far longer than the system takes at once: saved,
// compared, one file restored and deleted.
TEST_P(Concurrency, ATenThousandLevelChainUnderTheUsualDescriptorLimit) {
  const std::string folder = scratch / "deep";
  std::string relative;
  makeDirectory(folder);
  int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < 10000; ++level, relative += "d/") {
    ASSERT_EQ(mkdirat(at, "d", 0755), 0);
    const int next = openat(at, "d", O_RDONLY | O_DIRECTORY);
    close(at);
    at = next;
  }
  const std::string bottom = "/proc/self/fd/" + std::to_string(at) + "/bottom.txt";
  writeFile(bottom, "deep\n");
  // The copy still goes one call deeper for each level: the address
  // sanitizer's larger frames need a larger stack than the usual 8 MB.
  launcher = {"prlimit", "--nofile=1024:1024"};
#if defined(__SANITIZE_ADDRESS__)
  launcher.push_back("--stack=268435456");
#endif
  const std::string id = saved(folder);
  EXPECT_TRUE(tool({"diff", folder}).out.ends_with(":\n  none\n"));
  writeFile(bottom, "changed\n");
  const ToolRun run = tool({"restore", folder, id, "--file", relative + "bottom.txt", "--yes"});
  EXPECT_TRUE(run.status == 0 && run.out.starts_with("Restored \"" + relative + "bottom.txt\" in " + folder))
      << ::testing::PrintToString(run).substr(0, 300);
  EXPECT_EQ(readFile(bottom), "deep\n");
  close(at);
  EXPECT_EQ(tool({"delete", folder, id, "--yes"}).status, 0);
  EXPECT_EQ(savedIds(folder), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Volumes, Concurrency, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "Btrfs" : "Xfs"; });

}  // namespace
}  // namespace redomark::testing
