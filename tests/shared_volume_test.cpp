// Several users on one volume, through the built tool: each keeps a store of
// their own that nobody else can plant or read, and a copy never runs as a
// user who did not own the original.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/store/checkpoint_store.h"
#include "tests/command_line_fixture.h"
#include "tests/test_volumes.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

constexpr uid_t alice = 42101, mallory = 42102;

// Runs body as uid; true when it returned true.
bool asUser(uid_t uid, const std::function<bool()>& body) {
  return testing::asUser(uid, [&] { return body() ? std::string("yes") : std::string("no"); }) == "yes";
}

std::string unsafe(const std::string& path) {
  return "Redomark keeps these redomarks in " + path +
         ", which isn't a private folder of yours (it must be a folder you own, with permissions 0700, and not a "
         "link). Move it aside, then try again.";
}

// A volume of its own: a bind mount of a scratch directory of the second
// Btrfs volume, so that its mount point can be shared or locked without
// disturbing other tests.
class SharedVolume : public CommandLine {
 protected:
  SharedVolume() {
    // The other users must reach their homes and the volume.
    EXPECT_EQ(chmod(home.path().c_str(), 0755), 0);
    EXPECT_EQ(chmod(disk.path().c_str(), 0755), 0);
    makeDirectory(source);
    makeDirectory(top);
    EXPECT_EQ(chmod(source.c_str(), 0777), 0);
    EXPECT_EQ(mount(source.c_str(), top.c_str(), nullptr, MS_BIND, nullptr), 0);
    for (const auto& [dir, uid] : {std::pair{aliceHome, alice}, {malloryHome, mallory}}) {
      makeDirectory(dir);
      EXPECT_EQ(chown(dir.c_str(), uid, uid), 0);
    }
    makeDirectory(folder);
    EXPECT_EQ(chmod(folder.c_str(), 0777), 0);
    writeFile(folder + "/notes.txt", "shared notes");
    EXPECT_EQ(chmod((folder + "/notes.txt").c_str(), 0666), 0);
  }
  ~SharedVolume() override { umount2(top.c_str(), MNT_DETACH); }

  ToolRun run(uid_t uid, const std::vector<std::string>& args) const {
    return runTool(args, uid == alice ? aliceHome : malloryHome, asUid(uid));
  }

  ScratchDir disk{Volume::btrfs2};
  std::string source = disk / "source", top = disk / "top", folder = top + "/shared";
  std::string aliceHome = home / "alice", malloryHome = home / "mallory";
};

TEST_F(SharedVolume, EachUserHasAPrivateStoreThatNobodyElseCanPlant) {
  const std::string aliceStore = top + "/.redomark-checkpoints-" + std::to_string(alice);

  // Someone else's directory, or a link to one, in place of the store is refused untouched.
  ASSERT_TRUE(asUser(mallory, [&] { return mkdir(aliceStore.c_str(), 0777) == 0 && chmod(aliceStore.c_str(), 0777) == 0; }));
  EXPECT_EQ(run(alice, {"save", folder}), failed(1, unsafe(aliceStore)));
  EXPECT_EQ(listNames(aliceStore), std::vector<std::string>{});
  // Nor is anything read from it: records there could be anyone's.
  for (const std::string command : {"list", "diff"}) EXPECT_EQ(run(alice, {command, folder}), failed(1, unsafe(aliceStore)));
  ASSERT_EQ(rmdir(aliceStore.c_str()), 0);
  ASSERT_TRUE(asUser(mallory, [&] { return symlink(malloryHome.c_str(), aliceStore.c_str()) == 0; }));
  EXPECT_EQ(run(alice, {"save", folder}), failed(1, unsafe(aliceStore)));
  EXPECT_EQ(listNames(malloryHome), std::vector<std::string>{});
  ASSERT_EQ(unlink(aliceStore.c_str()), 0);

  // Two users save the same folder, each into a private store of their own.
  const ToolRun first = run(alice, {"save", folder});
  EXPECT_EQ(first, (ToolRun{0, savedLine(savedId(first), folder, "1 files, 12 bytes") + notABackup, ""}));
  const ToolRun second = run(mallory, {"save", folder});
  EXPECT_EQ(second.status, 0) << second.err;
  for (const auto& [uid, store] : {std::pair{alice, aliceStore}, {mallory, top + "/.redomark-checkpoints-" + std::to_string(mallory)}}) {
    const struct stat st = statusOf(store);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
  EXPECT_EQ(run(mallory, {"list", folder}).out.find(savedId(first)), std::string::npos);

  // The mount point holds every user's store; a folder inside one is a store too.
  EXPECT_EQ(run(alice, {"save", top}), failed(1, top + " contains Redomark's own store, so it can't be saved."));
  EXPECT_EQ(tool({"save", aliceStore}), failed(1, aliceStore + " is inside Redomark's own store."));
}

TEST_F(SharedVolume, AStoreOnAClosedVolumeNeedsTheAdministratorsSharedFolder) {
  ASSERT_EQ(chmod(source.c_str(), 0755), 0);
  const std::string own = top + "/.redomark-checkpoints-" + std::to_string(alice);
  EXPECT_EQ(run(alice, {"save", folder}),
            failed(1, "Redomark keeps the redomarks of folders on " + top + " in " + own +
                          ", which it can't create: Permission denied. Ask an administrator to make " + top +
                          "/.redomark-checkpoints a shared folder with the sticky bit (mode 1777), then try again."));
  EXPECT_FALSE(pathExists(own));

  // A shared folder that a user made is not the administrator's: it is not used.
  const std::string shared = top + "/.redomark-checkpoints";
  makeDirectory(shared);
  ASSERT_EQ(chown(shared.c_str(), mallory, mallory), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(run(alice, {"save", folder}).status, 1);
  EXPECT_EQ(listNames(shared), std::vector<std::string>{});

  ASSERT_EQ(chown(shared.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const ToolRun saved = run(alice, {"save", folder});
  EXPECT_EQ(saved.status, 0) << saved.err;
  const struct stat st = statusOf(shared + "/" + std::to_string(alice));
  EXPECT_EQ(st.st_uid, alice);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(run(alice, {"list", folder}).out.find(savedId(saved)), 0u);
}

TEST_F(SharedVolume, ACopyThatCannotKeepItsOwnerLosesItsSetIdBits) {
  const std::string program = folder + "/tool";
  writeFile(program, "#!/bin/sh\n");
  ASSERT_EQ(chown(program.c_str(), mallory, mallory), 0);
  ASSERT_EQ(chmod(program.c_str(), 06755), 0);

  ASSERT_EQ(run(alice, {"save", folder}).status, 0);
  writeFile(folder + "/notes.txt", "changed");
  const ToolRun restored = run(alice, {"restore", folder, "--yes"});
  ASSERT_EQ(restored.status, 0) << restored.err;
  struct stat st = statusOf(program);
  EXPECT_EQ(st.st_uid, alice);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  // Root can keep the owner, so the bits stay.
  ASSERT_EQ(chown(program.c_str(), mallory, mallory), 0);
  ASSERT_EQ(chmod(program.c_str(), 06755), 0);
  ASSERT_EQ(tool({"save", folder}).status, 0);
  ASSERT_EQ(tool({"restore", folder, "--yes"}).status, 0);
  st = statusOf(program);
  EXPECT_EQ(st.st_uid, mallory);
  EXPECT_EQ(st.st_mode & 07777, 06755u);
}

TEST_F(SharedVolume, PuttingBackOneFileNeedsOnlyThatFileReadable) {
  ASSERT_EQ(run(alice, {"save", folder}).status, 0);
  // Another user's private folder appears in the shared one after the save.
  ASSERT_TRUE(asUser(mallory, [&] { return mkdir((folder + "/private").c_str(), 0700) == 0; }));
  writeFile(folder + "/notes.txt", "changed");

  EXPECT_EQ(run(alice, {"diff", folder}), failed(1, "Couldn't read " + folder + "/private: Permission denied"));
  const ToolRun put = run(alice, {"restore", folder, "--file", "notes.txt", "--yes"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(readFile(folder + "/notes.txt"), "shared notes");
  EXPECT_EQ(statusOf(folder + "/private").st_uid, mallory);
}

TEST_F(SharedVolume, AHomeThatIsNotTheUsersOwnIsNeverUsed) {
  // HOME kept across sudo names someone else's home, here on the folder's own
  // volume: root must keep its store elsewhere.
  const std::string otherHome = top + "/mallory";
  makeDirectory(otherHome);
  ASSERT_EQ(chown(otherHome.c_str(), mallory, mallory), 0);
  const ToolRun saved = runTool({"save", folder}, otherHome);
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(listNames(otherHome), std::vector<std::string>{});
  EXPECT_TRUE(pathExists(top + "/.redomark-checkpoints-0/" + folderKey(folder)));
}

}  // namespace
}  // namespace redomark::testing
