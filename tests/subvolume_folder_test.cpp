// Folders that are Btrfs subvolumes, through the built tool, as root and as an
// ordinary user who made the subvolumes: the store is chosen by file system,
// not by the subvolume's own device number, and a nested subvolume is refused.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/fs/file_ops.h"
#include "core/fs/volume.h"
#include "core/store/checkpoint_store.h"
#include "tests/command_line_fixture.h"
#include "tests/test_volumes.h"

namespace redomark::testing {
namespace {

constexpr uid_t ordinaryUser = 42121;

// Runs a shell command as uid (as root for 0); true when it succeeded.
bool shellAs(uid_t uid, const std::string& command) {
  std::string line = "sh -c '" + command + "' >/dev/null 2>&1";
  if (uid != 0) {
    const std::string id = std::to_string(uid);
    line = "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups " + line;
  }
  return std::system(line.c_str()) == 0;
}

class SubvolumeFolder : public CommandLine, public ::testing::WithParamInterface<uid_t> {
 protected:
  SubvolumeFolder() {
    EXPECT_EQ(chmod(home.path().c_str(), 0755), 0);
    makeDirectory(userHome);
    EXPECT_EQ(chown(userHome.c_str(), uid(), uid()), 0);
  }
  uid_t uid() const { return GetParam(); }
  bool as(const std::string& command) const { return shellAs(uid(), command); }
  ToolRun run(const std::vector<std::string>& args) const {
    if (uid() == 0) return runTool(args, userHome);
    const std::string id = std::to_string(uid());
    return runTool(args, userHome, {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
  }
  std::string userStore() const { return userHome + "/.local/share/Redomark/Checkpoints"; }
  std::string volumeStore(const std::string& path) const {
    return readVolumeInfo(path).mountPoint + "/.redomark-checkpoints-" + std::to_string(uid());
  }

  std::string userHome = home / "user";
};

std::string nestedRefusal(const std::string& path) {
  return path + " is a separate Btrfs subvolume inside the folder, which can't be saved together with it.";
}

TEST_P(SubvolumeFolder, IsSavedInTheDefaultStoreOfItsFileSystemAndRefusesANestedSubvolume) {
  const std::string folder = userHome + "/project";
  ASSERT_TRUE(as("btrfs subvolume create " + folder + " && printf hello > " + folder + "/a.txt"));
  const VolumeInfo volume = readVolumeInfo(folder);
  ASSERT_NE(volume.device, readVolumeInfo(userHome).device);
  ASSERT_TRUE(sameFileSystem(volume, readVolumeInfo(userHome)));

  const ToolRun saved = run({"save", folder});
  EXPECT_EQ(saved, (ToolRun{0, savedLine(savedId(saved), folder, "1 files, 5 bytes") + notABackup, ""}));
  EXPECT_TRUE(pathExists(CheckpointStore(userStore()).folderDirectory(folder) + "/" + savedId(saved) + "/data/a.txt"));
  // Not the per-volume store of the subvolume's own device number.
  EXPECT_FALSE(pathExists(CheckpointStore(volumeStore(folder)).folderDirectory(folder)));

  ASSERT_TRUE(as("btrfs subvolume create " + folder + "/inner && printf x > " + folder + "/inner/b"));
  EXPECT_EQ(run({"save", folder}), failed(1, nestedRefusal(folder + "/inner")));
  // A plain directory above it makes no difference.
  ASSERT_TRUE(as("mkdir " + folder + "/deeper && mv " + folder + "/inner " + folder + "/deeper/"));
  EXPECT_EQ(run({"save", folder}), failed(1, nestedRefusal(folder + "/deeper/inner")));
  EXPECT_EQ(sortedNames(CheckpointStore(userStore()).folderDirectory(folder)),
            (std::vector<std::string>{".lock", savedId(saved)}));

  // A subvolume folder on another Btrfs file system keeps the store at its mount point.
  ScratchDir other(Volume::btrfs2);
  ASSERT_EQ(chmod(other.path().c_str(), 0777), 0);
  const std::string away = other / "away";
  ASSERT_TRUE(as("btrfs subvolume create " + away + " && printf abc > " + away + "/c"));
  const ToolRun elsewhere = run({"save", away});
  EXPECT_EQ(elsewhere, (ToolRun{0, savedLine(savedId(elsewhere), away, "1 files, 3 bytes") + notABackup, ""}));
  EXPECT_TRUE(pathExists(CheckpointStore(volumeStore(away)).folderDirectory(away) + "/" + savedId(elsewhere) + "/data/c"));
  EXPECT_EQ(run({"delete", away, savedId(elsewhere), "--yes"}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsItsOwner, SubvolumeFolder, ::testing::Values(uid_t{0}, ordinaryUser),
                         [](const auto& info) { return info.param == 0 ? std::string("Root") : std::string("Owner"); });

}  // namespace
}  // namespace redomark::testing
