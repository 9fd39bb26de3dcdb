// Folders that are Btrfs subvolumes, through the built tool, as root and as an
// ordinary user who made the subvolumes: the store is chosen by file system,
// not by the subvolume's own device number, and a nested subvolume is refused.
#include <cstdlib>

#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

// "ro=true\n" or "ro=false\n" for the root of a subvolume, "" for anything else.
std::string subvolumeState(const std::string& path) {
  return statusOf(path).st_ino == 256 ? outputOf("btrfs property get -ts '" + path + "' ro") : "";
}

class SubvolumeFolder : public CommandLine, public ::testing::WithParamInterface<uid_t> {
 protected:
  SubvolumeFolder() {
    toolHome = home / "user";
    EXPECT_EQ(chmod(home.path().c_str(), 0755), 0);
    makeDirectory(toolHome);
    EXPECT_EQ(chown(toolHome.c_str(), uid(), uid()), 0);
    if (uid() != 0) launcher = asUid(uid());
  }
  uid_t uid() const { return GetParam(); }
  // Runs a shell command as the user; true when it succeeded.
  bool as(const std::string& command) const {
    std::string words;
    for (const std::string& word : launcher) words += word + " ";
    return std::system((words + "sh -c '" + command + "' >/dev/null 2>&1").c_str()) == 0;
  }
  std::string folderDirectory() const { return CheckpointStore(defaultStore()).folderDirectory(folder); }

  const std::string folder = home / "user/project";
  const std::string nested = " is a separate Btrfs subvolume inside the folder, which can't be saved together with it.";
};

TEST_P(SubvolumeFolder, IsSavedInTheDefaultStoreOfItsFileSystemAndRefusesANestedSubvolume) {
  // A plain folder holding a subvolume is refused too, by the subvolume's own device number.
  ASSERT_TRUE(as("mkdir " + folder + " && btrfs subvolume create " + folder + "/in"));
  EXPECT_EQ(tool({"save", folder}), failed(1, folder + "/in" + nested));
  ASSERT_TRUE(
      as("rm -r " + folder + " && btrfs subvolume create " + folder + " && printf hello > " + folder + "/a.txt"));
  const ToolRun saved = tool({"save", folder});
  EXPECT_EQ(saved, ok(savedLine(savedId(saved), folder, "1 files, 5 bytes") + notABackup));
  EXPECT_TRUE(pathExists(folderDirectory() + "/" + savedId(saved) + "/data/a.txt"));

  // A refused save leaves no snapshot behind.
  ASSERT_TRUE(as("cd " + folder + " && mkdir deeper && btrfs subvolume create deeper/inner"));
  EXPECT_EQ(tool({"save", folder}), failed(1, folder + "/deeper/inner" + nested));
  EXPECT_EQ(outputOf("btrfs subvolume list '" + folder + "' | grep -c '" + folderKey(folder) + "'"), "1\n");
  EXPECT_EQ(sortedNames(folderDirectory()), (std::vector<std::string>{".lock", savedId(saved)}));
}

TEST_P(SubvolumeFolder, IsSavedAndRestoredBySnapshotsAndStaysASubvolume) {
  // A subvolume of the user's with files, a directory, a link, exact modes and times.
  ASSERT_TRUE(as("btrfs subvolume create " + folder + " && cd " + folder +
                 " && mkdir -p src/deep && printf hello > readme.txt && printf \"int main() {}\" > src/main.c"
                 " && head -c 70000 /dev/zero > src/deep/data.bin && ln -s src/main.c link && chmod 640 readme.txt"
                 " && chmod 750 src/deep && touch -d 2023-11-14T22:13:20.123456789Z src/main.c"));
  const TreeSnapshot original = snapshotTree(folder);
  const ToolRun saved = tool({"save", folder});
  const std::string first = savedId(saved), data = folderDirectory() + "/" + first + "/data";
  EXPECT_EQ(saved, ok(savedLine(first, folder, "4 files, 70 KB") + notABackup));
  EXPECT_EQ(subvolumeState(data), "ro=true\n");

  ASSERT_TRUE(as("cd " + folder + " && printf changed > readme.txt && printf new > added.txt && rm -r src/deep"));
  // The replaced subvolume goes whole to the owner's Trash on the same file system.
  const std::string trashed = toolHome + "/.local/share/Trash/files/project (replaced by Redomark)";
  const ToolRun restored = tool({"restore", folder, first, "--yes"});
  EXPECT_NE(restored.out.find("The replaced copy is at " + trashed + ".\n"), std::string::npos) << restored.out;
  EXPECT_EQ(snapshotTree(folder), original);
  EXPECT_EQ(subvolumeState(folder) + subvolumeState(trashed), "ro=false\nro=false\n");
  // Undoing it and putting back one item, of a subvolume too, are the crash tests' (as root).
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsItsOwner, SubvolumeFolder, ::testing::Values(uid_t{0}, uid_t{42121}),
                         [](const auto& info) { return info.param == 0 ? std::string("Root") : std::string("Owner"); });

}  // namespace
}  // namespace redomark::testing
