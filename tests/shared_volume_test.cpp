// Several users on one volume, through the built tool: each keeps a store of
// their own that nobody else can plant or read, and a copy never runs as a
// user who did not own the original. Then folders that are Btrfs subvolumes.
#include <sys/mount.h>

#include <cstdlib>

#include "tests/command_line_fixture.h"

namespace redomark::testing {
namespace {

constexpr uid_t alice = 42101, mallory = 42102;

std::string unsafe(const std::string& path) {
  return "Redomark keeps these redomarks in " + path +
         ", which isn't a private folder of yours (it must be a folder "
         "you own, with permissions 0700, and not a link). Move it aside, then try again.";
}

// A volume of its own: a bind mount of a scratch directory of the second
// Btrfs volume, so that its mount point can be shared or locked without
// disturbing other tests.
class SharedVolume : public CommandLine {
 protected:
  SharedVolume() {
    // The other users must reach their homes and the volume.
    EXPECT_EQ(chmod(home.path().c_str(), 0755) | chmod(disk.path().c_str(), 0755), 0);
    for (const std::string& dir : {source, top}) makeDirectory(dir);
    EXPECT_EQ(chmod(source.c_str(), 0777), 0);
    EXPECT_EQ(mount(source.c_str(), top.c_str(), nullptr, MS_BIND, nullptr), 0);
    for (const auto& [dir, uid] : {std::pair{aliceHome, alice}, {malloryHome, mallory}}) {
      makeDirectory(dir);
      EXPECT_EQ(chown(dir.c_str(), uid, uid), 0);
    }
    writeFiles(folder, {{"notes.txt", "shared notes"}});
    EXPECT_EQ(chmod(folder.c_str(), 0777) | chmod((folder + "/notes.txt").c_str(), 0666), 0);
  }
  ~SharedVolume() override { umount2(top.c_str(), MNT_DETACH); }

  // The tool as uid, with that user's home; as root with the test's own.
  ToolRun run(uid_t uid, const std::vector<std::string>& args) const {
    return uid ? runTool(args, uid == alice ? aliceHome : malloryHome, asUid(uid)) : tool(args);
  }
  // The owner and mode of path.
  static std::pair<uid_t, mode_t> ownerAndMode(const std::string& path) {
    const struct stat st = statusOf(path);
    return {st.st_uid, st.st_mode & 07777};
  }

  ScratchDir disk{Volume::btrfs2};
  std::string source = disk / "source", top = disk / "top", folder = top + "/shared";
  std::string aliceHome = home / "alice", malloryHome = home / "mallory";
  std::string aliceStore = top + "/.redomark-checkpoints-" + std::to_string(alice);
};

TEST_F(SharedVolume, EachUserHasAPrivateStoreThatNobodyElseCanPlant) {
  // Someone else's directory, or a link to one, in place of the store is refused untouched.
  ASSERT_EQ(
      asUser(mallory, [&] { return std::to_string(mkdir(aliceStore.c_str(), 0) | chmod(aliceStore.c_str(), 0777)); }),
      "0");
  // Nor is anything read from it: records there could be anyone's.
  for (const std::string command : {"save", "list", "diff"})
    EXPECT_EQ(run(alice, {command, folder}), failed(1, unsafe(aliceStore))) << command;
  EXPECT_EQ(sortedNames(aliceStore), std::vector<std::string>{});
  ASSERT_EQ(rmdir(aliceStore.c_str()), 0);
  ASSERT_EQ(asUser(mallory, [&] { return std::to_string(symlink(malloryHome.c_str(), aliceStore.c_str())); }), "0");
  EXPECT_EQ(run(alice, {"save", folder}), failed(1, unsafe(aliceStore)));
  EXPECT_EQ(sortedNames(malloryHome), std::vector<std::string>{});
  ASSERT_EQ(unlink(aliceStore.c_str()), 0);

  // Two users save the same folder, each into a private store of their own.
  const ToolRun first = run(alice, {"save", folder});
  EXPECT_EQ(first, ok(savedLine(savedId(first), folder, "1 files, 12 bytes") + notABackup));
  EXPECT_EQ(run(mallory, {"save", folder}).status, 0);
  EXPECT_EQ(ownerAndMode(aliceStore), std::pair(alice, 0700u));
  EXPECT_EQ(ownerAndMode(top + "/.redomark-checkpoints-" + std::to_string(mallory)), std::pair(mallory, 0700u));
  EXPECT_EQ(run(mallory, {"list", folder}).out.find(savedId(first)), std::string::npos);

  // The mount point holds every user's store; a folder inside one is a store too.
  EXPECT_EQ(run(alice, {"save", top}), failed(1, top + " contains Redomark's own store, so it can't be saved."));
  EXPECT_EQ(tool({"save", aliceStore}), failed(1, aliceStore + " is inside Redomark's own store."));

  // HOME kept across sudo names someone else's home, here on the folder's own
  // volume: root must keep its store elsewhere.
  const std::string otherHome = top + "/mallory";
  makeDirectory(otherHome);
  ASSERT_EQ(chown(otherHome.c_str(), mallory, mallory), 0);
  ASSERT_EQ(runTool({"save", folder}, otherHome).status, 0);
  EXPECT_EQ(sortedNames(otherHome), std::vector<std::string>{});
  EXPECT_TRUE(pathExists(top + "/.redomark-checkpoints-0/" + folderKey(folder)));
}

// On a volume whose top only root may write to, a shared folder that a user
// made is not the administrator's: it is not used.
TEST_F(SharedVolume, AStoreOnAClosedVolumeNeedsTheAdministratorsSharedFolder) {
  ASSERT_EQ(chmod(source.c_str(), 0755), 0);
  EXPECT_EQ(run(alice, {"save", folder}),
            failed(1, "Redomark keeps the redomarks of folders on " + top + " in " + aliceStore +
                          ", which it can't create: Permission denied. Ask an administrator to make " + top +
                          "/.redomark-checkpoints a shared folder with the sticky bit (mode 1777), then try again."));
  const std::string shared = top + "/.redomark-checkpoints";
  makeDirectory(shared);
  for (uid_t owner : {mallory, uid_t{0}}) {
    ASSERT_EQ(chown(shared.c_str(), owner, owner) | chmod(shared.c_str(), 01777), 0);
    const ToolRun saved = run(alice, {"save", folder});
    EXPECT_EQ(saved.status, owner ? 1 : 0) << saved.err;
    EXPECT_EQ(run(alice, {"list", folder}).out.find(savedId(saved)), owner ? std::string::npos : 0u);
  }
  EXPECT_EQ(ownerAndMode(shared + "/" + std::to_string(alice)), std::pair(alice, 0700u));
}

TEST_F(SharedVolume, ACopyThatCannotKeepItsOwnerLosesItsSetIdBitsAndOnlyTheFilePutBackNeedsReading) {
  const std::string program = folder + "/tool";
  writeFile(program, "#!/bin/sh\n");
  // As alice the restored copy is hers and loses the bits; root can keep the owner, so they stay.
  for (uid_t user : {alice, uid_t{0}}) {
    ASSERT_EQ(chown(program.c_str(), mallory, mallory) | chmod(program.c_str(), 06755), 0);
    ASSERT_EQ(run(user, {"save", folder}).status, 0);
    writeFile(folder + "/notes.txt", "changed");
    ASSERT_EQ(run(user, {"restore", folder, "--yes"}).status, 0);
    EXPECT_EQ(ownerAndMode(program), user ? std::pair(alice, 0755u) : std::pair(mallory, 06755u));
  }
  // Another user's private folder appears in the shared one after the save.
  ASSERT_EQ(run(alice, {"save", folder}).status, 0);
  ASSERT_EQ(asUser(mallory, [&] { return std::to_string(mkdir((folder + "/private").c_str(), 0700)); }), "0");
  writeFile(folder + "/notes.txt", "changed");
  EXPECT_EQ(run(alice, {"diff", folder}), failed(1, "Couldn't read " + folder + "/private: Permission denied"));
  EXPECT_EQ(run(alice, {"restore", folder, "--file", "notes.txt", "--yes"}).status, 0);
  EXPECT_EQ(readFile(folder + "/notes.txt"), "shared notes");
  EXPECT_EQ(statusOf(folder + "/private").st_uid, mallory);
}

// Folders that are Btrfs subvolumes, through the built tool, as root and as an
// ordinary user who made the subvolumes: the store is chosen by file system,
// not by the subvolume's own device number, and a nested subvolume is refused.
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
