#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "core/fs/file_ops.h"
#include "core/fs/volume.h"
#include "core/operations/redomark.h"
#include "core/records/redomark_error.h"
#include "core/store/checkpoint_store.h"
#include "tests/engine_test_support.h"

namespace redomark {
namespace {

using testing::ScratchDir;
using testing::TemporaryHome;
using testing::Volume;
using testing::writeFile;

std::string saveError(const Redomark& engine, const std::string& folder, OperationControl* control = nullptr) {
  try {
    engine.saveAndPrune(folder, std::nullopt, control);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(saved)";
}

// A small tmpfs mounted inside a folder, unmounted however the test ends.
class MountedTmpfs {
 public:
  explicit MountedTmpfs(std::string path) : path_(std::move(path)) {
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  ~MountedTmpfs() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

void makeTree(const std::string& root, int directories, int filesEach) {
  for (int d = 0; d < directories; ++d) {
    const std::string dir = root + "/d" + std::to_string(d);
    testing::makeDirectory(dir);
    for (int f = 0; f < filesEach; ++f) writeFile(dir + "/f" + std::to_string(f), "x");
  }
}

TEST(SaveRefusals, EachRefusalHasItsMessageAndLeavesTheStoreAlone) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string folder = scratch.path();

  ScratchDir onExt4(Volume::noClone);
  const std::string ext4Store = readVolumeInfo(onExt4.path()).mountPoint + "/.redomark-checkpoints";
  const bool ext4StoreExisted = pathExists(ext4Store);
  EXPECT_EQ(saveError(engine, onExt4.path()), "This disk can't save redomarks cheaply: it is ext4, not Btrfs or XFS.");
  EXPECT_EQ(pathExists(ext4Store), ext4StoreExisted);

  EXPECT_EQ(saveError(engine, folder + "/missing"),
            "Couldn't read " + folder + "/missing: No such file or directory");
  writeFile(folder + "/plain", "x");
  EXPECT_EQ(saveError(engine, folder + "/plain"), folder + "/plain is not a folder.");

  ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
  EXPECT_EQ(saveError(engine, folder),
            folder + "/pipe is a socket, pipe or device file, which Redomark can't save. Move it out of the folder first.");
  ASSERT_EQ(unlink((folder + "/pipe").c_str()), 0);

  testing::makeDirectory(folder + "/disk");
  {
    MountedTmpfs disk(folder + "/disk");
    ASSERT_TRUE(disk.mounted());
    EXPECT_EQ(saveError(engine, folder),
              folder + "/disk contains another disk (a mount point), which can't be saved together with it.");
  }
  EXPECT_FALSE(pathExists(CheckpointStore(home.defaultStoreRoot()).folderDirectory(folder)))
      << "a refused save left its folder directory in the store";

  createDirectories(home.defaultStoreRoot() + "/inner");
  EXPECT_EQ(saveError(engine, home.path() + "/.local/share/Redomark"),
            home.path() + "/.local/share/Redomark contains Redomark's own store, so it can't be saved.");
  EXPECT_EQ(saveError(engine, home.defaultStoreRoot() + "/inner"),
            home.defaultStoreRoot() + "/inner is inside Redomark's own store.");
  EXPECT_EQ(testing::sortedNames(home.defaultStoreRoot()),
            (std::vector<std::string>{".metadata_never_index", "CACHEDIR.TAG", "inner"}));
}

TEST(SaveCleanup, CancellingDuringTheCopyLeavesNoPartialCheckpoint) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string folder = scratch.path();
  makeTree(folder, 1, 100);
  const CheckpointStore store(home.defaultStoreRoot());
  const std::string folderDirectory = store.folderDirectory(folder);

  std::vector<OperationProgress> reports;
  OperationControl* current = nullptr;
  // Holding the first report back lets the throttle pass the copy's first report.
  auto cancelOnCopy = [&](const OperationProgress& p) {
    reports.push_back(p);
    if (p.phase == OperationProgress::Phase::scanning) std::this_thread::sleep_for(std::chrono::milliseconds(60));
    if (p.phase == OperationProgress::Phase::copying) current->cancel();
  };
  {
    OperationControl control(cancelOnCopy);
    current = &control;
    EXPECT_EQ(saveError(engine, folder, &control), "Cancelled.");
  }
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), (OperationProgress{OperationProgress::Phase::scanning, 0, std::nullopt}));
  EXPECT_EQ(reports.back().phase, OperationProgress::Phase::copying);
  EXPECT_FALSE(pathExists(folderDirectory)) << "the folder's store directory outlived a cancelled first save";

  reports.clear();
  OperationControl watching([&](const OperationProgress& p) { reports.push_back(p); });
  const Checkpoint kept = engine.saveAndPrune(folder, std::nullopt, &watching).saved;
  EXPECT_EQ(reports.front(), (OperationProgress{OperationProgress::Phase::scanning, 0, std::nullopt}));
  EXPECT_EQ(reports.back(), (OperationProgress{OperationProgress::Phase::finishing, 100, 101}));
  EXPECT_EQ(kept.fileCount, 100);

  createDirectories(folderDirectory + "/20200101-000000-0000.partial/data");
  createDirectories(folderDirectory + "/.deleting-20200101-000000-0001/data");
  reports.clear();
  {
    OperationControl control(cancelOnCopy);
    current = &control;
    EXPECT_EQ(saveError(engine, folder, &control), "Cancelled.");
  }
  std::vector<std::string> left = testing::sortedNames(folderDirectory);
  std::erase(left, std::string(".lock"));
  EXPECT_EQ(left, std::vector<std::string>{kept.id});
  EXPECT_EQ(engine.listCheckpoints(folder), std::vector<Checkpoint>{kept});
}

TEST(SaveWhileChanging, ItemsChangedDuringTheSaveAreListedUpToAHundred) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string folder = scratch.path();
  makeTree(folder, 2, 1100);

  // The first report of the walk is held back long enough for the throttle to
  // let a mid-walk report through; the edit runs inside that report.
  auto saveEditingMidWalk = [&](const std::function<void()>& edit) {
    bool edited = false;
    OperationControl control([&](const OperationProgress& p) {
      if (p.phase != OperationProgress::Phase::scanning) return;
      if (p.filesDone == 0) std::this_thread::sleep_for(std::chrono::milliseconds(60));
      if (p.filesDone > 0 && !edited) {
        edit();
        edited = true;
      }
    });
    const Checkpoint saved = engine.save(folder, std::nullopt, &control);
    EXPECT_TRUE(edited) << "the walk never reported mid-way";
    return saved.changedWhileSaving;
  };

  const auto appended = saveEditingMidWalk([&] {
    for (int d = 0; d < 2; ++d)
      for (int f = 0; f < 1100; ++f)
        writeFile(folder + "/d" + std::to_string(d) + "/f" + std::to_string(f), "xy");
  });
  EXPECT_EQ(appended.size(), 100u);
  for (const std::string& path : appended) EXPECT_TRUE(std::regex_match(path, std::regex("d[01]/f[0-9]+"))) << path;

  const auto created = saveEditingMidWalk([&] {
    testing::makeDirectory(folder + "/late");
    for (int f = 0; f < 50; ++f) writeFile(folder + "/late/f" + std::to_string(f), "new");
    for (int f = 0; f < 1100; ++f) unlink((folder + "/d1/f" + std::to_string(f)).c_str());
  });
  std::vector<std::string> expected{"late"};
  for (int f = 0; f < 50; ++f) expected.push_back("late/f" + std::to_string(f));
  std::vector<std::string> sorted = created;
  std::sort(sorted.begin(), sorted.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);
}

}  // namespace
}  // namespace redomark
