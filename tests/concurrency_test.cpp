// What runs beside the tool never makes it report something false: a budget
// prune racing a restore, lock files removed while another process is about
// to lock them, an editor saving by rename during saves, and trees deeper
// than the descriptors a process may hold. Each race is run for real, a
// bounded number of times; the seed of the random ones is printed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/command_line_fixture.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

// A folder of many small files, so that a save takes long enough to be met.
void fillFolder(const std::string& folder, int files, const std::string& text) {
  makeDirectory(folder);
  for (int d = 0; d < files / 100; ++d) {
    const std::string sub = folder + "/d" + std::to_string(d);
    makeDirectory(sub);
    for (int f = 0; f < 100; ++f) writeFile(sub + "/f" + std::to_string(f), text + std::to_string(f));
  }
}

double secondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Concurrency : public ::testing::TestWithParam<Volume> {
 protected:
  ToolRun toolAt(const std::vector<std::string>& args) const { return runTool(args, home_.path()); }
  // The folder's redomark ids, oldest first.
  std::vector<std::string> ids(const std::string& folder) const {
    const std::string json = toolAt({"list", folder, "--json"}).out;
    static const std::regex member(R"re("id" : "([^"]*)")re");
    std::vector<std::string> out;
    for (auto m = std::sregex_iterator(json.begin(), json.end(), member); m != std::sregex_iterator(); ++m)
      out.push_back((*m)[1]);
    return out;
  }
  ScratchDir home_{GetParam()};
  ScratchDir work_{GetParam()};
};

// Folders A and B share a store whose budget is smaller than anything saved,
// so that each save of A prunes B's older redomark unless B is busy.
TEST_P(Concurrency, ARestoreRacingABudgetPruneRestoresExactlyOrFailsInOneLine) {
  const std::string a = work_ / "a", b = work_ / "b";
  fillFolder(a, 500, "a");
  fillFolder(b, 2000, "old ");
  int exact = 0, refused = 0;
  for (int round = 0; round < 6; ++round) {
    ASSERT_EQ(toolAt({"settings", "--budget", "none"}).status, 0);
    writeFile(b + "/d0/f0", "old");
    const ToolRun older = toolAt({"save", b});
    ASSERT_EQ(older.status, 0) << older.err;
    const TreeSnapshot wanted = snapshotTree(b);
    writeFile(b + "/d0/f0", "new " + std::to_string(round));
    ASSERT_EQ(toolAt({"save", b}).status, 0);
    ASSERT_EQ(toolAt({"settings", "--budget", "1"}).status, 0);

    ToolRun restore, save;
    std::thread pruner([&] { save = toolAt({"save", a}); });
    restore = toolAt({"restore", b, savedId(older), "--yes"});
    pruner.join();
    EXPECT_EQ(save.status, 0) << save.err;
    if (restore.status == 0) {
      ++exact;
      EXPECT_EQ(snapshotTree(b), wanted) << "round " << round;
    } else {
      ++refused;
      EXPECT_EQ(std::count(restore.err.begin(), restore.err.end(), '\n'), 1) << restore.err;
      EXPECT_NE(snapshotTree(b), TreeSnapshot{}) << "round " << round;
    }
  }
  std::printf("restores exact: %d, refused in one line: %d\n", exact, refused);
}

// A save delayed between opening the lock file and locking it (strace holds
// the flock call back) while the folder's last redomark is deleted, which
// removes the lock file with the folder's store directory, and a third save
// takes a new one. Whoever saves, every redomark holds the whole folder.
TEST_P(Concurrency, ALockFileRemovedBeforeItIsLockedIsNeverHeldTwice) {
  const std::string folder = work_ / "f";
  fillFolder(folder, 2000, "x");
  for (int round = 0; round < 4; ++round) {
    const ToolRun first = toolAt({"save", folder});
    ASSERT_EQ(first.status, 0) << first.err;
    ToolProcess delayed({"save", folder}, home_.path(),
                        {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=flock:delay_enter=400000"});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(toolAt({"delete", folder, savedId(first), "--yes"}).status, 0);
    const ToolRun third = toolAt({"save", folder});
    const ToolRun second = delayed.wait();
    for (const ToolRun* run : {&second, &third})
      EXPECT_TRUE(run->status == 0 || run->err.find("is already running on") != std::string::npos) << run->err;
    for (const std::string& id : ids(folder)) {
      const ToolRun diff = toolAt({"diff", folder, id});
      EXPECT_EQ(diff.status, 0);
      EXPECT_TRUE(diff.out.ends_with(":\n  none\n")) << "round " << round << ": " << diff.out.substr(0, 300);
    }
  }
}

// An editor writes a temporary file and renames it over the document, again
// and again, while the folder is saved: every save succeeds and keeps one
// whole version of the document.
TEST_P(Concurrency, SavesBesideAnEditorSavingByRenameSucceedWithOneWholeVersion) {
  const std::string folder = work_ / "f";
  fillFolder(folder, 3000, "x");
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
  std::vector<std::string> ids;
  for (int i = 0; i < 6; ++i) {
    const ToolRun save = toolAt({"save", folder});
    EXPECT_EQ(save.status, 0) << save.err;
    ids.push_back(savedId(save));
  }
  stop = true;
  editor.join();
  const std::string store = home_.path() + "/.local/share/Redomark/Checkpoints";
  for (const std::string& key : sortedNames(store)) {
    for (const std::string& id : ids) {
      const std::string saved = store + "/" + key + "/" + id + "/data/doc.txt";
      if (permissions(saved) == 0) continue;
      const std::string bytes = readFile(saved);
      EXPECT_EQ(bytes, version(bytes.empty() ? 0 : bytes[0] - 'a')) << id;
    }
  }
}

// A chain of directories ten thousand deep, under the usual limit of 1,024
// open files: saved, compared, restored and deleted.
TEST_P(Concurrency, ATenThousandLevelChainUnderTheUsualDescriptorLimit) {
  const std::string folder = work_ / "deep";
  makeDirectory(folder);
  int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < 10000; ++level) {
    ASSERT_EQ(mkdirat(at, "d", 0755), 0);
    const int next = openat(at, "d", O_RDONLY | O_DIRECTORY);
    close(at);
    at = next;
  }
  const int file = openat(at, "bottom.txt", O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(write(file, "deep\n", 5), 5);
  close(file);
  close(at);
  // The copy still goes one call deeper for each level: the address
  // sanitizer's larger frames need a larger stack than the usual 8 MB.
#if defined(__SANITIZE_ADDRESS__)
  const std::vector<std::string> limit = {"prlimit", "--nofile=1024:1024", "--stack=268435456"};
#else
  const std::vector<std::string> limit = {"prlimit", "--nofile=1024:1024"};
#endif
  const auto timed = [&](const std::vector<std::string>& args, ToolRun& run) {
    return secondsOf([&] { run = runTool(args, home_.path(), limit); });
  };
  ToolRun save, diff, restore, removal;
  const double saveSeconds = timed({"save", folder}, save);
  ASSERT_EQ(save.status, 0) << save.err;
  const double diffSeconds = timed({"diff", folder}, diff);
  EXPECT_EQ(diff.status, 0) << diff.err;
  EXPECT_TRUE(diff.out.ends_with(":\n  none\n")) << diff.out.substr(0, 200);
  const double restoreSeconds = timed({"restore", folder, savedId(save), "--yes"}, restore);
  EXPECT_EQ(restore.status, 0) << restore.err;
  const std::vector<std::string> before = ids(folder);
  ASSERT_FALSE(before.empty());
  const double deleteSeconds = timed({"delete", folder, savedId(save), "--yes"}, removal);
  EXPECT_EQ(removal.status, 0) << removal.err;
  EXPECT_EQ(ids(folder).size(), before.size() - 1);
  std::printf("10,000 levels: save %.2f s, diff %.2f s, restore %.2f s, delete %.2f s\n", saveSeconds, diffSeconds,
              restoreSeconds, deleteSeconds);
}

INSTANTIATE_TEST_SUITE_P(Volumes, Concurrency, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "Btrfs" : "Xfs"; });

}  // namespace
}  // namespace redomark::testing
