// Clean-up after a save cancelled from inside the engine's progress reports.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/fs/file_ops.h"
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

TEST(SaveCleanup, CancellingDuringTheCopyLeavesNoPartialCheckpoint) {
  TemporaryHome home(Volume::btrfs);
  ScratchDir scratch(Volume::btrfs);
  const Redomark engine;
  const std::string folder = scratch.path();
  for (int f = 0; f < 100; ++f) writeFile(folder + "/f" + std::to_string(f), "x");
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

  const Checkpoint kept = engine.saveAndPrune(folder, std::nullopt, nullptr).saved;

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

}  // namespace
}  // namespace redomark
