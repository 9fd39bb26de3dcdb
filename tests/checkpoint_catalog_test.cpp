// The store's catalog on a real volume: where stores go, what a listing shows,
// how ids resolve, and what deleting and cleaning up leave on disk. Then a
// store damaged by hand or by another program: broken records and manifests,
// and symbolic links planted where the store keeps its own directories and
// files. The engine must skip or refuse them, never crash, and never read or
// change anything outside the folder and the store. Last, where a folder may be
// saved from, and which checkpoints retention keeps.
#include "core/operations/location_check.h"
#include "core/records/record_coding.h"
#include "core/store/folder_lock.h"
#include "core/store/retention.h"
#include "core/store/settings_file.h"
#include "tests/volume_tests.h"

namespace redomark::testing {
namespace {

using Ids = std::vector<std::string>;
const std::string folder = "/data/Site";

// A record as the store writes it.
std::string meta(const std::string& path, const std::string& id) { return encodeStoreRecord(record(path, id, 5)); }

TEST(CheckpointCatalog, ListsOnlyCompleteRecordsOfThisFolderOldestFirstInAPrivateStoreAndResolvesIdsAmongThem) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "home/.local/share/Redomark/Checkpoints");
  const std::string dir = store.folderDirectory(folder);
  store.ensureRoot();
  EXPECT_EQ(std::pair(permissions(store.root()), permissions(scratch / "home")), std::pair(0700u, 0700u));

  publish(store, record(folder, "c2", 200));
  publish(store, record(folder, "c1", 100, Checkpoint::Kind::beforeRestore));
  publish(store, record(folder, "c10", 200));  // same instant: ties go by id
  publish(store, record(folder, "caf\u00e9", 150));
  // Leftovers, damaged records (one with an id that climbs out) and a key collision.
  writeFiles(dir, {{"c5.partial/meta.json", meta(folder, "c5")},
                   {".deleting-c6/meta.json", meta(folder, "c6")},
                   {".lock", ""},
                   {"no-meta/data/f", ""},
                   {"damaged/meta.json", "{\"id\" : \"c7\", \"kind\" :"},
                   {"c8/meta.json", meta("/elsewhere/Site", "c8")},
                   {"20990101-000000-0000/meta.json", meta(folder, "../../outside")}});
  // A link planted in place of a checkpoint directory is not read through.
  const CheckpointStore outside(scratch / "outside");
  const Checkpoint planted = publish(outside, record(folder, "c9", 1));
  ASSERT_EQ(symlink(outside.checkpointDirectory(planted).c_str(), (dir + "/c9").c_str()), 0);

  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "caf\u00e9", "c10", "c2"}));
  // Latest (ties go by the greater id), an exact id over a longer one it begins, canonically equivalent ids.
  const std::pair<std::optional<std::string>, std::string> resolved[] = {
      {std::nullopt, "c2"}, {"c1", "c1"}, {"cafe\u0301", "caf\u00e9"}, {"c10", "c10"}};
  for (const auto& [typed, id] : resolved) EXPECT_EQ(store.resolve(typed, folder).id, id) << typed.value_or("latest");
  EXPECT_EQ(errorOf([&] { store.resolve("c8", folder); }), RedomarkError::checkpointNotFound("c8"))
      << "another folder's ids are not candidates";

  // Deleting a whole checkpoint is the delete command's test. A removal that
  // fails half-way leaves the checkpoint withdrawn under its deleting name, for
  // the next save to clean up with the other leftovers.
  const Checkpoint c2 = store.resolve("c2", folder);
  writeFile(store.dataDirectory(c2) + "/stuck", "x");
  setInodeFlags(store.dataDirectory(c2) + "/stuck", FS_IMMUTABLE_FL, true);
  EXPECT_THROW(store.deleteCheckpoint(c2), std::exception);
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "caf\u00e9", "c10"}));
  setInodeFlags(dir + "/.deleting-c2/data/stuck", FS_IMMUTABLE_FL, false);
  store.removeLeftovers(folder);
  EXPECT_EQ(sortedNames(dir),
            (Ids{".lock", "20990101-000000-0000", "c1", "c10", "c8", "c9", "caf\u00e9", "damaged", "no-meta"}));

  // An id from a damaged record never leads out of the folder directory.
  createDirectories(scratch / "victim");
  const Checkpoint escaping = record(folder, "../../victim", 5);
  EXPECT_THROW(store.deleteCheckpoint(escaping), std::exception);
  EXPECT_EQ(store.uniqueBytes(escaping), 0);
  EXPECT_TRUE(pathExists(scratch / "victim"));
}

// The folder lock leaves its file, private, in a private directory, and
// follows no link planted in its way.
TEST(FolderLock, IsPrivateAndPlantedLinksAndOpenDirectoriesAreRefused) {
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  const std::string dir = store.folderDirectory(folder);
  const auto attempt = [&] { withFolderLock(store, folder, [] { ADD_FAILURE() << "locked"; }); };
  withFolderLock(store, folder, [] {});
  EXPECT_EQ(std::pair(permissions(dir + "/.lock"), permissions(dir)), std::pair(0600u, 0700u));
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

namespace fs = std::filesystem;

// A folder, its store with checkpoints laid out as a save leaves them, and a
// tree outside both that nothing may touch: a broken manifest fails the diff of
// its checkpoint alone (its shapes are the record coding tests'), and no link
// planted in the store leads a read or a write outside it.
TEST(DamagedStore, BrokenManifestsFailTheDiffAloneAndPlantedLinksNeverLeadAReadOrAWriteOutsideTheStore) {
  ScratchDir scratch(Volume::btrfs);
  const std::string folder = canonicalPath(scratch.path()) + "/folder", outside = scratch / "outside";
  writeFiles(folder, {{"a.txt", "alpha"}});
  // The big file written, not cloned: its blocks are its own, so counting it would show.
  writeFiles(outside, {{"keep.txt", "not the store's"},
                       {"data/big.bin", std::string(1 << 20, 'x')},
                       {"manifest.json", R"([{"p":"outside-only.txt","k":"f","s":1,"m":0}])"}});
  Redomark engine(scratch / "store");
  const CheckpointStore store = engine.storeFor(folder);
  const auto outsideBefore = snapshotTree(outside);
  const auto save = [&] { return engine.save(folder, std::nullopt, nullptr); };
  // A broken manifest, and one that is a link to one outside.
  const Checkpoint broken = save(), linkedManifest = save();
  writeFile(store.checkpointDirectory(broken) + "/manifest.json", R"([{"p":"a.txt","k":"f"}])");
  fs::remove(store.checkpointDirectory(linkedManifest) + "/manifest.json");
  fs::create_symlink(outside + "/manifest.json", store.checkpointDirectory(linkedManifest) + "/manifest.json");
  EXPECT_THROW(engine.diff(folder, broken.id), JsonError);
  EXPECT_THROW(engine.diff(folder, linkedManifest.id), RedomarkError);
  EXPECT_EQ(engine.listCheckpoints(folder).size(), 2u);
  // A checkpoint directory swapped for a link is the catalog's test. "data"
  // itself a link, and a "data" tree holding a link: neither is walked for the
  // space count (only their own records count, never the mebibyte behind the
  // links) nor followed by a deletion.
  const Checkpoint linkedData = save(), linkInside = save();
  fs::remove_all(store.dataDirectory(linkedData));
  fs::create_directory_symlink(outside + "/data", store.dataDirectory(linkedData));
  const int64_t ownBytes = engine.spaceUsed(linkInside);
  fs::create_directory_symlink(outside, store.dataDirectory(linkInside) + "/escape");
  EXPECT_TRUE(dataAndFewRecords(engine.spaceUsed(linkedData), 0));
  EXPECT_TRUE(dataAndFewRecords(engine.spaceUsed(linkInside), ownBytes - 1));
  for (const Checkpoint& c : {broken, linkedData, linkInside}) engine.deleteCheckpoint(c);
  // Leftover names planted as links are removed as links, as before every save.
  for (const char* name : {"/20240101-000000-0000.partial", "/.deleting-20240101-000000-0001"})
    fs::create_directory_symlink(outside, store.folderDirectory(folder) + name);
  store.removeLeftovers(folder);
  EXPECT_EQ(sortedNames(store.folderDirectory(folder)), (std::vector<std::string>{".lock", linkedManifest.id}));
  EXPECT_EQ(snapshotTree(outside), outsideBefore);
  EXPECT_EQ(readFile(folder + "/a.txt"), "alpha");
}

// Where a folder may be saved from, beside its store ("~" is the command-line
// tests': "~/site", "~root/...").
TEST(CheckLocation, RefusesInItsFixedOrderWithTheRightPath) {
  ScratchDir scratch(Volume::noClone);
  const std::string base = canonicalPath(scratch.path());
  const SafetyPolicy linux = defaultSafetyPolicy(), everything{{base}, {}};
  const std::string store = scratch / "home/.local/share/Redomark/Checkpoints";
  createDirectories(scratch / "home/Documents");
  createDirectories(scratch / "Store2");
  writeFile(scratch / "file.txt", "");
  ASSERT_EQ(symlink((base + "/home").c_str(), (base + "/home-link").c_str()), 0);
  const std::string typedFile = scratch.path() + "/./file.txt", typedMissing = scratch.path() + "//gone/";
  struct Case {
    std::string folder, store;
    bool directory;
    const SafetyPolicy& policy;
    std::optional<RedomarkError> refusal;
    std::string canonical;
  };
  const Case cases[] = {
      // Every store lies below "/", which is tested before the forbidden lists.
      {"/", store, true, linux, RedomarkError::containsStore("/"), ""},
      {scratch / "home-link/", store, true, linux, RedomarkError::containsStore(base + "/home"), ""},
      // Links resolved, missing components kept as written.
      {scratch / "home-link/./Documents/x/../Missing/", store, false, linux, {}, base + "/home/Documents/Missing"},
      // Inside the store wins over the forbidden lists; the store need not exist.
      {store + "/key/x", store, false, everything,
       RedomarkError::insideStore(base + "/home/.local/share/Redomark/Checkpoints/key/x"), ""},
      // Prefix tests stop at a "/": a sibling with a longer name is unrelated.
      {scratch / "Store2", scratch / "Store", true, linux, {}, base + "/Store2"},
      // A file is refused with the path as typed.
      {typedFile, store, false, linux, RedomarkError::notADirectory(typedFile), ""},
      {typedMissing, store, true, linux, RedomarkError::notADirectory(typedMissing), ""},
      // Trees are refused with what is below them, exact places alone.
      {"/var/lib/redomark-x", "/no-store", false, linux, RedomarkError::forbiddenLocation("/var/lib/redomark-x"), ""},
      {"/home", "/no-store", false, linux, RedomarkError::forbiddenLocation("/home"), ""},
      {"/home/someone/work", "/no-store", false, linux, {}, "/home/someone/work"},
  };
  for (const Case& c : cases) {
    if (c.refusal)
      EXPECT_EQ(errorOf([&] { checkLocation(c.folder, c.store, c.directory, c.policy); }), *c.refusal) << c.folder;
    else
      EXPECT_EQ(checkLocation(c.folder, c.store, c.directory, c.policy), c.canonical);
  }
}

// Retention: the keep rules as a pure choice, the byte budget measured on
// real shared extents, and the settings file.
using Kind = Checkpoint::Kind;
constexpr double day = 86400;

// "c1", "c2", ... one day apart, of the kinds given ('m' manual, 'b' before a restore).
std::vector<Checkpoint> series(const std::string& kinds, const std::string& path = folder) {
  std::vector<Checkpoint> out;
  for (size_t i = 0; i < kinds.size(); ++i)
    out.push_back(
        record(path, "c" + std::to_string(i + 1), (i + 1) * day, kinds[i] == 'b' ? Kind::beforeRestore : Kind::manual));
  return out;
}

TEST(Retention, KeepsTheNewestAndTheProtectedCheckpointsOfTheFolderOnly) {
  // The latest, the latest manual and the two latest beforeRestore ones outlive every limit.
  struct Case {
    const char* kinds;
    int64_t keep;
    std::optional<int64_t> days;
    double now;
    Ids removed;
  };
  const Case cases[] = {
      {"bbb", 5, {}, 100 * day, {"c1"}},
      {"mbmbmbm", 0, {}, 100 * day, {"c1", "c2", "c3", "c5"}},
      // Two days back from day 5.5 is past c3.
      {"bbmmmm", 5, 2, 5.5 * day, {"c1", "c3"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ids(chosenToPrune(series(c.kinds), RetentionPolicy{c.keep, std::nullopt, c.days}, c.now)), c.removed)
        << c.kinds << " at day " << c.now / day;

  // In a store: other folders are left alone, and one that cannot be deleted
  // (an occupied deleting name makes the withdrawing rename fail) is skipped quietly.
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  for (const Checkpoint& c : series("mmmmmmm")) publish(store, c);
  for (const Checkpoint& c : series("mmmmmmm", "/data/Other")) publish(store, c);
  createDirectories(store.folderDirectory(folder) + "/.deleting-c1/occupied");
  EXPECT_EQ(ids(prune(store, defaultRetentionPolicy, folder, 100 * day)), (Ids{"c2"}));
  EXPECT_EQ(ids(store.checkpoints(folder)), (Ids{"c1", "c3", "c4", "c5", "c6", "c7"}));
  EXPECT_EQ(store.checkpoints("/data/Other").size(), 7u);
}

// What each checkpoint holds alone is measured on the volume (here its own
// mebibyte, or nothing beyond its records for the latest of each folder).
TEST(RetentionBudget, AStoreOverBudgetLosesItsOldestPrivateCheckpointsButNoProtectedOne) {
  constexpr int64_t mebibyte = 1 << 20;
  ScratchDir scratch(Volume::btrfs);
  const CheckpointStore store(scratch / "store");
  // a1 b1 a2 b2 ... one second apart; a2 and b3 taken before a restore.
  for (int i = 0; i < 8; ++i) {
    const Checkpoint c = publish(store, record(scratch / (i % 2 ? "B" : "A"), "ab"[i % 2] + std::to_string(i / 2 + 1),
                                               i + 1, i == 2 || i == 5 ? Kind::beforeRestore : Kind::manual, mebibyte));
    if (i < 6) writeFile(store.dataDirectory(c) + "/big", uniqueBytes(mebibyte, i));
  }
  sync();
  // 6 MiB held alone against a budget of 3 MiB and the five survivors'
  // records; the latest, latest manual and latest beforeRestore of each
  // folder (a2, a4, b3, b4) are protected.
  const RetentionPolicy budget{5, 3 * mebibyte + 5 * fewItemsRecords, std::nullopt};
  EXPECT_EQ(ids(prune(store, budget, scratch / "A", 10)), (Ids{"a1", "b1", "b2"}));
  EXPECT_EQ(ids(store.allCheckpoints()), (Ids{"a2", "a3", "b3", "a4", "b4"}));
}

// Writing, permissions, a folder in the file's place and reading back what was
// written are the settings command's tests; here the ways a file can be
// unusable.
TEST(RetentionSettings, DefaultsForEveryFileThatIsUnusableSayingWhy) {
  ScratchDir scratch(Volume::btrfs);
  const std::string root = scratch / "Redomark/Checkpoints", file = scratch / "Redomark/settings.json";
  const auto loaded = [&] {
    const LoadedSettings l = loadSettings(root);
    return std::make_tuple(l.path, l.state, l.problem, l.policy);
  };
  using State = LoadedSettings::State;
  const auto text = [&](const char* bytes) { return [&file, bytes] { writeFile(file, bytes); }; };
  // Nothing there may make reading it wait, or read without end.
  const std::pair<std::function<void()>, std::string> unusable[] = {
      // Read as 0, it would prune every checkpoint a folder has.
      {text(R"({"keepPerFolder":null})"), "\"keepPerFolder\" must be a whole number"},
      {[&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, "it isn't a regular file of yours"},
      {[&] { ASSERT_EQ(symlink("/dev/zero", file.c_str()), 0); }, "it isn't a regular file of yours"},
      {[&] { writeFile(file, std::string(65 * 1024, ' ')); }, "it is larger than 64 KB"},
  };
  createDirectories(scratch / "Redomark");
  for (const auto& [plant, why] : unusable) {
    plant();
    EXPECT_EQ(loaded(), std::make_tuple(file, State::unusable, why, defaultRetentionPolicy));
    removeTree(file);
  }
}

}  // namespace
}  // namespace redomark::testing
