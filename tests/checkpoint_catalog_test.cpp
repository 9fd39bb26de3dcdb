// The store's catalog on a real volume: where stores go, what a listing shows,
// how ids resolve, and what deleting and cleaning up leave on disk.
#include "core/records/record_coding.h"
#include "core/store/folder_lock.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

using Ids = std::vector<std::string>;
const std::string folder = "/data/Site";

// Writes a record into folderDirectory/name, whatever the name.
void plant(const std::string& folderDirectory, const std::string& name, const Checkpoint& c) {
  createDirectories(folderDirectory + "/" + name);
  writeFile(folderDirectory + "/" + name + "/meta.json", encodeStoreRecord(c));
}

TEST(CheckpointCatalog, ListsOnlyCompleteRecordsOfThisFolderOldestFirstInAPrivateStoreAndResolvesIdsAmongThem) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "home/.local/share/Redomark/Checkpoints");
  const std::string dir = store.folderDirectory(folder);
  EXPECT_TRUE(store.checkpoints(folder).empty()) << "no folder directory yet";
  store.ensureRoot();
  EXPECT_EQ(permissions(store.root()), 0700u);
  EXPECT_EQ(permissions(scratch / "home"), 0700u);
  EXPECT_TRUE(readFile(store.root() + "/CACHEDIR.TAG").starts_with("Signature: 8a477f597d28d172789f06886806bc55"));

  publish(store, record(folder, "c2", 200));
  publish(store, record(folder, "c1", 100, Checkpoint::Kind::beforeRestore));
  publish(store, record(folder, "c10", 200));  // same instant: ties go by id
  publish(store, record(folder, "caf\u00e9", 150));
  plant(dir, "c5.partial", record(folder, "c5", 5));
  plant(dir, ".deleting-c6", record(folder, "c6", 6));
  writeFile(dir + "/.lock", "");
  createDirectories(dir + "/no-meta/data");
  plant(dir, "damaged", record(folder, "c7", 7));
  writeFile(dir + "/damaged/meta.json", "{\"id\" : \"c7\", \"kind\" :");
  plant(dir, "c8", record("/elsewhere/Site", "c8", 10));  // a key collision
  // A link planted in place of a checkpoint directory is not read through.
  const CheckpointStore outside(scratch / "outside");
  const Checkpoint planted = publish(outside, record(folder, "c9", 1));
  ASSERT_EQ(symlink(outside.checkpointDirectory(planted).c_str(), (dir + "/c9").c_str()), 0);
  // Another spelling of a path is another folder, even in its directory.
  const std::string composed = "/data/caf\u00e9", decomposed = "/data/cafe\u0301";
  plant(store.folderDirectory(composed), "c4", record(decomposed, "c4", 50));

  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "caf\u00e9", "c10", "c2"}));
  EXPECT_EQ(ids(store.checkpoints(composed)), Ids{});
  EXPECT_TRUE(CheckpointStore(scratch / "missing").allCheckpoints().empty());
  // Latest (ties go by the greater id), an exact id over a longer one it begins, canonically equivalent ids.
  const std::pair<std::optional<std::string>, std::string> resolved[] = {
      {std::nullopt, "c2"}, {"c1", "c1"}, {"cafe\u0301", "caf\u00e9"}, {"c10", "c10"}};
  for (const auto& [typed, id] : resolved) EXPECT_EQ(store.resolve(typed, folder).id, id) << typed.value_or("latest");
  EXPECT_EQ(errorOf([&] { store.resolve("c", folder); }),
            RedomarkError::ambiguousCheckpoint("c", {"c1", "caf\u00e9", "c10", "c2"}));
  EXPECT_EQ(errorOf([&] { store.resolve("c8", folder); }), RedomarkError::checkpointNotFound("c8"))
      << "another folder's ids are not candidates";
}

TEST(CheckpointCatalog, DeletingWithdrawsFirstAndLeftoversGo) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  const std::string dir = store.folderDirectory(folder);
  const Checkpoint first = publish(store, record(folder, "c1", 1));
  const Checkpoint second = publish(store, record(folder, "c2", 2));
  writeFile(store.dataDirectory(first) + "/file", "saved");
  writeFile(dir + "/.lock", "");
  store.deleteCheckpoint(first);
  EXPECT_EQ(sortedNames(dir), (Ids{".lock", second.id}));

  // A removal that fails half-way leaves the checkpoint withdrawn under its
  // deleting name, for the next save to clean up.
  writeFile(store.dataDirectory(second) + "/stuck", "x");
  setInodeFlags(store.dataDirectory(second) + "/stuck", FS_IMMUTABLE_FL, true);
  EXPECT_THROW(store.deleteCheckpoint(second), std::exception);
  EXPECT_EQ(sortedNames(dir), (Ids{".deleting-" + second.id, ".lock"}));
  EXPECT_TRUE(store.checkpoints(folder).empty());
  setInodeFlags(dir + "/.deleting-" + second.id + "/data/stuck", FS_IMMUTABLE_FL, false);
  createDirectories(dir + "/c9.partial/data/deep");
  writeFile(dir + "/.other", "");
  store.removeLeftovers(folder);
  EXPECT_EQ(sortedNames(dir), (Ids{".lock", ".other"}));

  // An id from a damaged record never leads out of the folder directory.
  createDirectories(scratch / "victim");
  const Checkpoint escaping = record(folder, "../../victim", 5);
  EXPECT_THROW(store.deleteCheckpoint(escaping), std::exception);
  EXPECT_EQ(store.uniqueBytes(escaping), 0);
  EXPECT_TRUE(isDirectory(scratch / "victim"));
}

// The folder lock leaves its file, private, in a private directory, and
// follows no link planted in its way.
TEST(FolderLock, IsPrivateAndPlantedLinksAndOpenDirectoriesAreRefused) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  const std::string dir = store.folderDirectory(folder);
  const auto attempt = [&] { withFolderLock(store, folder, [] { ADD_FAILURE() << "locked"; }); };
  int ran = 0;
  withFolderLock(store, folder, [&] { ++ran; });
  EXPECT_EQ(std::tuple(ran, permissions(dir + "/.lock"), permissions(dir)), std::tuple(1, 0600u, 0700u));
  ASSERT_EQ(unlink((dir + "/.lock").c_str()), 0);
  ASSERT_EQ(symlink((scratch / "outside-lock").c_str(), (dir + "/.lock").c_str()), 0);
  EXPECT_EQ(errorOf(attempt), RedomarkError::io("Couldn't open the lock for /data/Site."));
  EXPECT_FALSE(pathExists(scratch / "outside-lock"));
  // A folder directory that is a link, or that others may enter, is refused.
  removeTree(dir);
  createDirectories(scratch / "outside-dir", 0700);
  ASSERT_EQ(symlink((scratch / "outside-dir").c_str(), dir.c_str()), 0);
  EXPECT_EQ(errorOf(attempt), RedomarkError::unsafeStore(dir));
  EXPECT_EQ(sortedNames(scratch / "outside-dir"), std::vector<std::string>{});
  ASSERT_EQ(unlink(dir.c_str()), 0);
  createDirectories(dir, 0755);
  EXPECT_EQ(errorOf(attempt), RedomarkError::unsafeStore(dir));
  EXPECT_EQ(sortedNames(dir), std::vector<std::string>{});
}

}  // namespace
}  // namespace redomark::testing
